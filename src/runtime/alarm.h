#pragma once

#include <functional>
#include <memory>

#include "runtime/event_loop.h"
#include "runtime/timer_service.h"

namespace brelo::runtime {

// A one-shot timer of the loop that can be armed again or cancelled at any time, also from
// inside its own callback (retries arm themselves again from there). The callback is fixed
// at construction and must not destroy the Alarm.
class Alarm {
public:
    Alarm(EventLoop& loop, std::function<void()> fire) : loop_(loop), fire_(std::move(fire)) {}
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    // Fires once, delayS seconds from now (CLOCK_MONOTONIC), replacing any earlier arming.
    void arm(double delayS);
    void cancel();
    bool armed() const { return armed_; }

private:
    EventLoop& loop_;
    std::function<void()> fire_;
    std::unique_ptr<Timer> timer_;
    bool armed_ = false;
};

}  // namespace brelo::runtime
