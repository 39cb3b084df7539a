#pragma once

#include <functional>

#include "runtime/event_loop.h"
#include "runtime/handles.h"

namespace brelo::runtime {

// SIGTERM and SIGINT as events of the loop (nothing runs in a signal handler). The first
// one calls onStop with the signal's number; a second one during the stop ends the loop
// at once with 128 + its number, as a shell reports a process killed by it.
// Make it before any thread is started: the signals are blocked for the whole process.
class StopSignals {
public:
    StopSignals(EventLoop& loop, std::function<void(int signal)> onStop);  // throws std::system_error
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* userdata) noexcept;

    EventLoop& loop_;
    std::function<void(int)> onStop_;
    bool stopping_ = false;
    SourcePtr term_;
    SourcePtr interrupt_;
};

}  // namespace brelo::runtime
