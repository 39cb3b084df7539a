#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "runtime/handles.h"
#include "runtime/timer_service.h"

namespace brelo::runtime {

// The one sd-event loop of the process, on the main thread. Everything (timers, D-Bus,
// curl's sockets, upload completions) is dispatched from here, one piece at a time.
class EventLoop final : public TimerService {
public:
    EventLoop();  // throws std::system_error if sd-event cannot be set up
    ~EventLoop() override;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    sd_event* get() const { return event_.get(); }

    std::unique_ptr<Timer> repeating(double intervalS, std::function<void()> tick) override;

    // Runs fn once, soon, from the loop (never from inside the caller).
    void defer(std::function<void()> fn);

    // Runs fn once after delayS seconds (CLOCK_MONOTONIC). Destroying the handle cancels it.
    std::unique_ptr<Timer> after(double delayS, std::function<void()> fn);

    // Runs until exit() is called; returns the exit code.
    int run();
    void exit(int code = 0);

    // Dispatches events until pred() holds or the timeout passes; true when pred() held.
    // For tests and tools: waits on events, never sleeps blindly.
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    // Seconds on CLOCK_MONOTONIC, as the loop sees it.
    double monotonicNow() const;

private:
    EventPtr event_;
};

}  // namespace brelo::runtime
