#pragma once

#include <functional>
#include <string>

#include "runtime/event_loop.h"
#include "runtime/handles.h"

namespace brelo::fakebluez {

class BluezDouble;

// Carries out script lines as they arrive: from a script file, standard input or a test's
// socket. A bad line is reported on standard error with where it came from (NAME:LINE), and
// the next line runs.
class ScriptReader {
public:
    ScriptReader(runtime::EventLoop& loop, BluezDouble& target, std::string name)
        : loop_(loop), double_(target), name_(std::move(name)) {}

    // Carries out the complete lines of text; a last line without a line feed waits for more.
    void take(const std::string& text);
    // Reads fd on the loop; when it ends, atEnd runs (if set).
    void watch(int fd, std::function<void()> atEnd = {});

private:
    static int onReadable(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;

    runtime::EventLoop& loop_;
    BluezDouble& double_;
    std::string name_;
    size_t lineNumber_ = 0;
    std::string partial_;
    std::function<void()> atEnd_;
    runtime::SourcePtr source_;
};

}  // namespace brelo::fakebluez
