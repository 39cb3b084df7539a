#include "script_runner.h"

#include <cerrno>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace brelo::fakebluez {

bool ScriptRunner::addFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return false;
    size_t number = 0;
    for (std::string text; std::getline(in, text);)
        queue_.push_back({path + ":" + std::to_string(++number), text});
    return true;
}

void ScriptRunner::watch(int fd, const std::string& name, std::function<void()> atEnd) {
    name_ = name;
    atEnd_ = std::move(atEnd);
    sd_event_source* raw = nullptr;
    int r = sd_event_add_io(loop_.get(), &raw, fd, EPOLLIN, &ScriptRunner::onReadable, this);
    if (r >= 0) {
        source_.reset(raw);
        return;
    }
    // A regular file (or /dev/null) cannot be polled: it is all there already.
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        take(std::string(buffer, static_cast<size_t>(n)));
    take("\n");
    schedulePump();
}

void ScriptRunner::take(const std::string& text) {
    partial_ += text;
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
        queue_.push_back({name_ + ":" + std::to_string(++lineNumber_), partial_.substr(start, nl - start)});
    partial_.erase(0, start);
}

int ScriptRunner::onReadable(sd_event_source*, int fd, uint32_t, void* userdata) noexcept {
    auto* self = static_cast<ScriptRunner*>(userdata);
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    try {
        if (n > 0) {
            self->take(std::string(buffer, static_cast<size_t>(n)));
        } else {
            // The end (or an error that ends it): a last line without a line feed still counts.
            self->take("\n");
            self->source_.reset();
            if (self->atEnd_)
                self->loop_.defer(self->atEnd_);
        }
        self->schedulePump();
    } catch (const std::exception& e) {
        std::cerr << "fake-bluez: " << e.what() << "\n";
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
    loop_.defer([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired())
            pumpScheduled_ = false, pump();
    });
}

void ScriptRunner::pump() {
    while (!held_ && !sleep_ && !queue_.empty()) {
        Pending line = std::move(queue_.front());
        queue_.pop_front();
        Outcome outcome;
        try {
            outcome = execute_(parseLine(line.text));
        } catch (const std::exception& e) {
            std::cerr << "fake-bluez: " << line.where << ": " << e.what() << ": " << line.text << "\n";
            continue;
        }
        if (outcome.next == Outcome::Next::Sleep) {
            sleep_ = loop_.after(outcome.seconds, [this, alive = std::weak_ptr<bool>(alive_)] {
                // Not from inside the timer's own callback: the wake-up frees the timer.
                loop_.defer([this, alive] {
                    if (!alive.expired())
                        sleep_.reset(), pump();
                });
            });
        } else if (outcome.next != Outcome::Next::Continue) {
            held_ = true;  // until ready again, or for good
            if (outcome.next == Outcome::Next::Quit)
                loop_.exit(0);
        }
    }
}

}  // namespace brelo::fakebluez
