#include "threaded_double.h"

#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "bluez_double.h"
#include "output.h"
#include "runtime/event_loop.h"
#include "script_runner.h"

namespace brelo::fakebluez {
namespace {

// What the wake-up source on the double's loop reaches.
struct Inbox {
    std::mutex& mutex;
    std::string& text;
    bool& quit;
    ScriptRunner& runner;
    runtime::EventLoop& loop;
};

int onWake(sd_event_source*, int fd, uint32_t, void* userdata) noexcept {
    auto& inbox = *static_cast<Inbox*>(userdata);
    uint64_t count = 0;
    (void)::read(fd, &count, sizeof count);
    std::string text;
    bool quit = false;
    {
        std::lock_guard lock(inbox.mutex);
        text.swap(inbox.text);
        quit = inbox.quit;
    }
    try {
        if (quit)
            inbox.loop.exit(0);
        else if (!text.empty())
            inbox.runner.addText(text);
    } catch (...) {
    }
    return 0;
}

}  // namespace

ThreadedDouble::ThreadedDouble(const std::string& busAddress, bool impostor)
    : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0)
        throw std::runtime_error("eventfd failed");
    thread_ = std::thread([this, busAddress, impostor] { serve(busAddress, impostor); });
    if (!waitForLine("ready")) {
        std::string why;
        {
            std::lock_guard lock(mutex_);
            why = failure_.value_or("no \"ready\" within 10 s");
        }
        stop();
        throw std::runtime_error("the BlueZ double did not get ready: " + why);
    }
}

ThreadedDouble::~ThreadedDouble() { stop(); }

void ThreadedDouble::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        const uint64_t one = 1;
        (void)::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (wake_ >= 0)
        ::close(wake_);
    wake_ = -1;
}

void ThreadedDouble::serve(std::string busAddress, bool impostor) {
    try {
        runtime::EventLoop loop;
        Output out([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            journal_.push_back(line);
            changed_.notify_all();
        });
        BluezDouble fake(loop, out, {.busAddress = std::move(busAddress), .impostor = impostor});
        ScriptRunner runner(loop, [&fake](const ScriptLine& line) { return fake.execute(line); });
        Inbox inbox{mutex_, inbox_, quit_, runner, loop};
        sd_event_source* raw = nullptr;
        if (sd_event_add_io(loop.get(), &raw, wake_, EPOLLIN, &onWake, &inbox) < 0)
            throw std::runtime_error("cannot watch the inbox");
        runtime::SourcePtr source(raw);
        fake.start([&runner] { runner.resume(); });
        loop.run();
    } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        failure_ = e.what();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void ThreadedDouble::send(const std::string& lines) {
    {
        std::lock_guard lock(mutex_);
        inbox_ += lines;
        if (inbox_.back() != '\n')
            inbox_ += '\n';
    }
    const uint64_t one = 1;
    (void)::write(wake_, &one, sizeof one);
}

bool ThreadedDouble::run(const std::string& lines, std::chrono::milliseconds timeout) {
    const std::string marker = "sync-" + std::to_string(++marker_);
    send(lines);
    send("echo " + marker);
    return waitForLine(marker, timeout).has_value();
}

// Journal lines from `from` on that contain text; the index of the first in *first.
size_t ThreadedDouble::find(const std::string& text, size_t from, std::optional<size_t>* first) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (size_t i = from; i < journal_.size(); ++i)
        if (journal_[i].find(text) != std::string::npos && n++ == 0 && first)
            *first = i;
    return n;
}

std::optional<size_t> ThreadedDouble::waitForLine(const std::string& text, std::chrono::milliseconds timeout,
                                                  size_t from) {
    std::optional<size_t> first;
    waitFor([&] { return find(text, from, &first) > 0; }, timeout);
    return first;
}

bool ThreadedDouble::waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout) {
    return waitFor([&] { return countLines(text) >= n; }, timeout);
}

size_t ThreadedDouble::countLines(const std::string& text) { return find(text, 0, nullptr); }

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
