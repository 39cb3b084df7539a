#include "runtime/alarm.h"

#include <algorithm>

namespace brelo::runtime {

void Alarm::arm(double delayS) {
    try {
        // Replacing the timer from inside its own callback is allowed: the loop touches
        // nothing of a one-shot timer after running it.
        timer_ = loop_.after(std::max(delayS, 0.0), [this] {
            armed_ = false;
            fire_();
        });
        armed_ = true;
    } catch (...) {
        // No timer: the retry is lost, and the next event that needs one arms it again.
        cancel();
    }
}

void Alarm::cancel() {
    timer_.reset();
    armed_ = false;
}

}  // namespace brelo::runtime
