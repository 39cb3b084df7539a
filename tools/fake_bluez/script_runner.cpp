#include "script_runner.h"

#include <cerrno>
#include <fstream>
#include <unistd.h>

#include "output.h"

namespace brelo::fakebluez {

ScriptRunner::ScriptRunner(runtime::EventLoop& loop, Executor execute) : loop_(loop), execute_(std::move(execute)) {}

ScriptRunner::~ScriptRunner() { *alive_ = false; }

bool ScriptRunner::addFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read script " + path;
        return false;
    }
    std::string text;
    size_t number = 0;
    while (std::getline(in, text))
        queue_.push_back({path + ":" + std::to_string(++number), text});
    return true;
}

void ScriptRunner::watchStdin() {
    sd_event_source* raw = nullptr;
    int r = sd_event_add_io(loop_.get(), &raw, STDIN_FILENO, EPOLLIN, &ScriptRunner::onStdin, this);
    if (r == -EPERM) {
        // A regular file (or /dev/null) cannot be polled: it is all there already.
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0)
            queueText(std::string(buffer, static_cast<size_t>(n)));
        queueText("\n");
        schedulePump();
        return;
    }
    if (r >= 0)
        stdinSource_.reset(raw);
}

void ScriptRunner::queueText(const std::string& text) {
    stdinPartial_ += text;
    size_t start = 0;
    for (size_t nl; (nl = stdinPartial_.find('\n', start)) != std::string::npos; start = nl + 1)
        queue_.push_back({"stdin:" + std::to_string(++stdinLine_), stdinPartial_.substr(start, nl - start)});
    stdinPartial_.erase(0, start);
}

void ScriptRunner::readStdin() {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
            queueText(std::string(buffer, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof buffer)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        // End of input (or an error that ends it): a last line without a line feed still counts.
        if (!stdinPartial_.empty())
            queueText("\n");
        stdinSource_.reset();
        break;
    }
    schedulePump();
}

int ScriptRunner::onStdin(sd_event_source*, int, uint32_t, void* userdata) noexcept {
    try {
        static_cast<ScriptRunner*>(userdata)->readStdin();
    } catch (...) {
    }
    return 0;
}

void ScriptRunner::resume() {
    held_ = false;
    schedulePump();
}

void ScriptRunner::schedulePump() {
    if (pumpScheduled_)
        return;
    pumpScheduled_ = true;
    std::weak_ptr<bool> alive = alive_;
    loop_.defer([this, alive] {
        if (alive.expired())
            return;
        pumpScheduled_ = false;
        pump();
    });
}

void ScriptRunner::pump() {
    while (!held_ && !sleeping_ && !queue_.empty()) {
        Pending line = std::move(queue_.front());
        queue_.pop_front();
        Outcome outcome;
        try {
            ScriptLine parsed = parseLine(line.text);
            if (parsed.empty())
                continue;
            outcome = execute_(parsed);
        } catch (const std::exception& e) {
            Output::complain(line.where + ": " + e.what() + ": " + line.text);
            continue;
        }
        switch (outcome.next) {
            case Outcome::Next::Continue:
                break;
            case Outcome::Next::Sleep: {
                sleeping_ = true;
                std::weak_ptr<bool> alive = alive_;
                sleepTimer_ = loop_.after(outcome.seconds, [this, alive] {
                    // Not from inside the timer's own callback: the wake-up frees the timer.
                    loop_.defer([this, alive] {
                        if (alive.expired())
                            return;
                        sleeping_ = false;
                        sleepTimer_.reset();
                        pump();
                    });
                });
                return;
            }
            case Outcome::Next::WaitReady:
                held_ = true;
                return;
            case Outcome::Next::Quit:
                loop_.exit(0);
                held_ = true;
                return;
        }
    }
}

}  // namespace brelo::fakebluez
