#include "threaded_double.h"

#include <algorithm>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "bluez_double.h"
#include "script_reader.h"

namespace brelo::fakebluez {

ThreadedDouble::ThreadedDouble(const std::string& busAddress, bool impostor) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
        throw std::runtime_error("socketpair failed");
    input_ = fds[0];
    thread_ = std::thread([this, busAddress, impostor, fd = fds[1]] { serve(busAddress, impostor, fd); });
    if (!waitForLine("ready")) {
        stop();
        throw std::runtime_error("the BlueZ double did not get ready: " +
                                 (failure_.empty() ? "no \"ready\" within 10 s" : failure_));
    }
}

ThreadedDouble::~ThreadedDouble() { stop(); }

// Closing our end of the socket ends the double's script, and with it its loop.
void ThreadedDouble::stop() {
    if (input_ >= 0)
        ::close(input_);
    input_ = -1;
    if (thread_.joinable())
        thread_.join();
}

void ThreadedDouble::serve(const std::string& busAddress, bool impostor, int input) {
    try {
        runtime::EventLoop loop;
        BluezDouble fake(
            loop,
            [this](const std::string& line) {
                std::lock_guard lock(mutex_);
                journal_.push_back(line);
                changed_.notify_all();
            },
            {busAddress, impostor});
        ScriptReader reader(loop, fake, "script");
        fake.start([&] { reader.watch(input, [&loop] { loop.exit(0); }); });
        loop.run();
    } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        failure_ = e.what();
    }
    ::close(input);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void ThreadedDouble::send(const std::string& lines) {
    const std::string text = lines + "\n";
    for (size_t done = 0; done < text.size();) {
        // MSG_NOSIGNAL: a double that has ended must not take the test down with SIGPIPE.
        ssize_t n = ::send(input_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

bool ThreadedDouble::run(const std::string& lines, std::chrono::milliseconds timeout) {
    const std::string marker = "sync-" + std::to_string(++marker_);
    send(lines + "\necho " + marker);
    return waitForLine(marker, timeout).has_value();
}

std::optional<size_t> ThreadedDouble::waitForLine(const std::string& text, std::chrono::milliseconds timeout,
                                                  size_t from) {
    std::optional<size_t> first;
    waitFor(
        [&] {
            const auto all = lines();
            auto it = std::find_if(all.begin() + static_cast<ptrdiff_t>(std::min(from, all.size())), all.end(),
                                   [&](const std::string& l) { return l.find(text) != std::string::npos; });
            if (it != all.end())
                first = static_cast<size_t>(it - all.begin());
            return first.has_value();
        },
        timeout);
    return first;
}

bool ThreadedDouble::waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout) {
    return waitFor([&] { return countLines(text) >= n; }, timeout);
}

size_t ThreadedDouble::countLines(const std::string& text) {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(journal_.begin(), journal_.end(),
                                             [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

bool ThreadedDouble::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        std::unique_lock lock(mutex_);
        if (ended_ || std::chrono::steady_clock::now() >= deadline)
            return false;
        const size_t seen = journal_.size();
        changed_.wait_until(lock, deadline, [&] { return journal_.size() != seen || ended_; });
    }
}

std::vector<std::string> ThreadedDouble::lines() {
    std::lock_guard lock(mutex_);
    return journal_;
}

}  // namespace brelo::fakebluez
