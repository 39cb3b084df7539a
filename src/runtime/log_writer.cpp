#include "runtime/log_writer.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace brelo {
namespace {

std::mutex sinkMutex;
LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

}  // namespace

std::string formatLogLine(std::time_t when, std::string_view message) {
    std::tm local{};
    char stamp[32] = "0000-00-00 00:00:00";
    if (localtime_r(&when, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line;
    line.reserve(sizeof stamp + message.size() + 2);
    line.append(stamp).append(1, ' ').append(message).append(1, '\n');
    return line;
}

bool writeAll(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void log(std::string_view message) noexcept {
    try {
        std::string line = formatLogLine(std::time(nullptr), message);
        LogSink sink;
        {
            std::lock_guard lock(sinkMutex);
            sink = currentSink();
        }
        if (sink)
            sink(line);
        else
            writeAll(STDOUT_FILENO, line);
    } catch (...) {
        // Out of memory while building a line: the line is lost, the process goes on.
    }
}

LogSink replaceLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex);
    std::swap(currentSink(), sink);
    return sink;
}

}  // namespace brelo
