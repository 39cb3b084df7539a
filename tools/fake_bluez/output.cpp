#include "output.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brelo::fakebluez {
namespace {

// Returns bytes written, or -1 when the pipe is full (or gone).
ssize_t writeSome(const char* data, size_t size) {
    for (;;) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return -1;
    }
}

void writeAllBlocking(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // A non-blocking pipe at exit: wait for room rather than drop the tail.
            fd_set set;
            FD_ZERO(&set);
            FD_SET(fd, &set);
            select(fd + 1, nullptr, &set, nullptr, nullptr);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // reader gone: nothing more can be said
        }
    }
}

}  // namespace

void Output::attach(sd_event* event) {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode))
        return;  // a terminal or a file: plain blocking writes are right there
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) < 0)
        return;
    sd_event_source* raw = nullptr;
    if (sd_event_add_io(event, &raw, STDOUT_FILENO, EPOLLOUT, &Output::onWritable, this) < 0) {
        fcntl(STDOUT_FILENO, F_SETFL, flags);
        return;
    }
    writable_.reset(raw);
    sd_event_source_set_enabled(raw, SD_EVENT_OFF);
    nonBlocking_ = true;
}

void Output::line(const std::string& text) {
    if (sink_) {
        sink_(text);
        return;
    }
    std::string whole = text + "\n";
    if (!nonBlocking_) {
        writeAllBlocking(STDOUT_FILENO, whole);
        return;
    }
    if (queued_.empty()) {
        ssize_t n = writeSome(whole.data(), whole.size());
        if (n == static_cast<ssize_t>(whole.size()))
            return;
        if (n < 0 && errno != EAGAIN)
            return;  // reader gone
        queuedOffset_ = n > 0 ? static_cast<size_t>(n) : 0;
    }
    queued_.push_back(std::move(whole));
    sd_event_source_set_enabled(writable_.get(), SD_EVENT_ON);
}

void Output::complain(const std::string& text) { writeAllBlocking(STDERR_FILENO, "fake-bluez: " + text + "\n"); }

void Output::flushQueued() {
    while (!queued_.empty()) {
        const std::string& front = queued_.front();
        ssize_t n = writeSome(front.data() + queuedOffset_, front.size() - queuedOffset_);
        if (n < 0) {
            if (errno == EAGAIN)
                return;
            queued_.clear();  // reader gone
            break;
        }
        queuedOffset_ += static_cast<size_t>(n);
        if (queuedOffset_ < front.size())
            return;
        queued_.pop_front();
        queuedOffset_ = 0;
    }
    if (writable_)
        sd_event_source_set_enabled(writable_.get(), SD_EVENT_OFF);
}

int Output::onWritable(sd_event_source*, int, uint32_t, void* userdata) noexcept {
    static_cast<Output*>(userdata)->flushQueued();
    return 0;
}

void Output::drain() {
    while (!queued_.empty()) {
        writeAllBlocking(STDOUT_FILENO, queued_.front().substr(queuedOffset_));
        queued_.pop_front();
        queuedOffset_ = 0;
    }
}

}  // namespace brelo::fakebluez
