#pragma once

#include <functional>

#include <systemd/sd-event.h>

#include "runtime/handles.h"

namespace brelo::runtime {

// A one-shot timer that can be re-armed or cancelled at any time, also from inside its own
// callback (retries re-arm themselves from there). The callback is fixed at
// construction and must not destroy the Alarm.
class Alarm {
public:
    Alarm(sd_event* event, std::function<void()> fire) : event_(event), fire_(std::move(fire)) {}
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    // Fires once, delayS seconds from now (CLOCK_MONOTONIC), replacing any earlier arming.
    void arm(double delayS);
    void cancel() { source_.reset(); }
    bool armed() const { return source_ != nullptr; }

private:
    static int onTime(sd_event_source* source, uint64_t usec, void* userdata) noexcept;

    sd_event* event_;
    std::function<void()> fire_;
    SourcePtr source_;
};

}  // namespace brelo::runtime
