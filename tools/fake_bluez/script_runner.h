#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "runtime/event_loop.h"
#include "runtime/handles.h"
#include "script.h"

namespace brelo::fakebluez {

// Feeds script lines to the double one at a time: first the lines of the script files, then
// what arrives on a file descriptor (standard input, or a test's pipe). `sleep` holds the
// queue on a loop timer; a restart holds it until the double is ready again. A bad line is
// reported on standard error with where it came from, and the next line runs.
class ScriptRunner {
public:
    using Executor = std::function<Outcome(const ScriptLine&)>;

    ScriptRunner(runtime::EventLoop& loop, Executor execute) : loop_(loop), execute_(std::move(execute)) {}

    // Queues every line of the file; false when it cannot be read.
    bool addFile(const std::string& path);
    // Reads fd on the loop; when it ends, atEnd runs (if set).
    void watch(int fd, const std::string& name, std::function<void()> atEnd = {});
    // Lets queued lines run; the runner starts held until the double is first ready.
    void resume();

private:
    void schedulePump();
    void pump();
    void take(const std::string& text);
    static int onReadable(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;

    struct Pending {
        std::string where;
        std::string text;
    };
    runtime::EventLoop& loop_;
    Executor execute_;
    std::deque<Pending> queue_;
    bool held_ = true;
    bool pumpScheduled_ = false;
    std::unique_ptr<runtime::Timer> sleep_;
    std::string name_;  // of the watched descriptor, for error messages
    size_t lineNumber_ = 0;
    std::string partial_;
    std::function<void()> atEnd_;
    runtime::SourcePtr source_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace brelo::fakebluez
