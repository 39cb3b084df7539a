#include "runtime/alarm.h"

#include <cmath>
#include <ctime>

namespace brelo::runtime {

void Alarm::arm(double delayS) {
    source_.reset();
    uint64_t usec = delayS <= 0 ? 0 : static_cast<uint64_t>(std::llround(delayS * 1e6));
    sd_event_source* raw = nullptr;
    // 1 ms accuracy: these are retries and back-offs, not a schedule.
    if (sd_event_add_time_relative(event_, &raw, CLOCK_MONOTONIC, usec, 1000, &Alarm::onTime, this) < 0)
        return;  // no timer: the retry is lost, and the next event that needs one arms it again
    source_.reset(raw);
}

int Alarm::onTime(sd_event_source*, uint64_t, void* userdata) noexcept {
    auto* self = static_cast<Alarm*>(userdata);
    // sd-event defers freeing a source that is being dispatched, so dropping it here is safe,
    // and it leaves the callback free to arm the alarm again.
    self->source_.reset();
    try {
        self->fire_();
    } catch (...) {
        // Nothing after start-up is fatal: a failing retry is simply not retried by this tick.
    }
    return 0;
}

}  // namespace brelo::runtime
