#include "script_reader.h"

#include <cerrno>
#include <iostream>
#include <unistd.h>

#include "bluez_double.h"

namespace brelo::fakebluez {

void ScriptReader::take(const std::string& text) {
    partial_ += text;
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = partial_.substr(start, nl - start);
        ++lineNumber_;
        try {
            double_.execute(parseLine(line));
        } catch (const std::exception& e) {
            std::cerr << "fake-bluez: " << name_ << ":" << lineNumber_ << ": " << e.what() << ": " << line << "\n";
        }
    }
    partial_.erase(0, start);
}

void ScriptReader::watch(int fd, std::function<void()> atEnd) {
    atEnd_ = std::move(atEnd);
    sd_event_source* raw = nullptr;
    if (sd_event_add_io(loop_.get(), &raw, fd, EPOLLIN, &ScriptReader::onReadable, this) >= 0) {
        source_.reset(raw);
        return;
    }
    // A regular file (or /dev/null) cannot be polled: it is all there already.
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        take(std::string(buffer, static_cast<size_t>(n)));
    take("\n");
}

int ScriptReader::onReadable(sd_event_source*, int fd, uint32_t, void* userdata) noexcept {
    auto* self = static_cast<ScriptReader*>(userdata);
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    try {
        if (n > 0)
            return self->take(std::string(buffer, static_cast<size_t>(n))), 0;
        // The end (or an error that ends it): a last line without a line feed still counts.
        self->take("\n");
        self->source_.reset();
        if (self->atEnd_)
            self->loop_.defer(self->atEnd_);
    } catch (const std::exception& e) {
        std::cerr << "fake-bluez: " << e.what() << "\n";
    }
    return 0;
}

}  // namespace brelo::fakebluez
