#include "runtime/clock.h"

#include <time.h>

namespace brelo::runtime {

double SystemClock::now() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace brelo::runtime
