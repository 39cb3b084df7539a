#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "runtime/event_loop.h"
#include "script.h"

namespace brelo::fakebluez {

// What the double asks of the runner after carrying out a line.
struct Outcome {
    enum class Next { Continue, Sleep, WaitReady, Quit };
    Next next = Next::Continue;
    double seconds = 0;  // for Sleep
};

// Feeds script lines to the double one at a time: first the lines of the script files,
// then standard input as it arrives. `sleep` holds the queue on a loop timer; a restart
// holds it until the double is ready again. A bad line is reported on standard error with
// where it came from, and the next line runs.
class ScriptRunner {
public:
    using Executor = std::function<Outcome(const ScriptLine&)>;

    ScriptRunner(runtime::EventLoop& loop, Executor execute);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // Queues every line of the file; false (and why) when it cannot be read.
    bool addFile(const std::string& path, std::string& error);
    // Reads standard input on the loop until it ends.
    void watchStdin();
    // Queues script text as if it came on standard input.
    void addText(const std::string& text) {
        queueText(text);
        schedulePump();
    }
    // Lets queued lines run; the runner starts held until the double is first ready.
    void resume();

private:
    struct Pending {
        std::string where;
        std::string text;
    };

    void schedulePump();
    void pump();
    void queueText(const std::string& text);
    void readStdin();
    static int onStdin(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;

    runtime::EventLoop& loop_;
    Executor execute_;
    std::deque<Pending> queue_;
    bool held_ = true;
    bool sleeping_ = false;
    bool pumpScheduled_ = false;
    size_t stdinLine_ = 0;
    std::string stdinPartial_;
    std::unique_ptr<runtime::Timer> sleepTimer_;
    runtime::SourcePtr stdinSource_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace brelo::fakebluez
