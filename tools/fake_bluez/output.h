#pragma once

#include <deque>
#include <functional>
#include <string>

#include <systemd/sd-event.h>

#include "runtime/handles.h"

namespace brelo::fakebluez {

// What the double tells its driver, one event per line on standard output.
//
// Tests read the output through a pipe and may not drain it for a while; a blocking write
// would then stall the double (and with it every client on the bus). On a pipe the lines
// are therefore written without blocking and whatever does not fit waits in memory until
// the pipe is writable again. Each line goes out with a single write when it can.
class Output {
public:
    Output() = default;
    // Hands every line to sink instead (the double inside a test process).
    explicit Output(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Starts draining through the loop; before this, a full pipe blocks.
    void attach(sd_event* event);

    void line(const std::string& text);
    // Diagnostics for the person writing the script: standard error, never the event stream.
    static void complain(const std::string& text);

    // Writes everything still waiting (blocking); used on the way out.
    void drain();

private:
    void flushQueued();
    static int onWritable(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;

    std::function<void(const std::string&)> sink_;
    std::deque<std::string> queued_;
    size_t queuedOffset_ = 0;  // bytes of queued_.front() already written
    bool nonBlocking_ = false;
    runtime::SourcePtr writable_;
};

}  // namespace brelo::fakebluez
