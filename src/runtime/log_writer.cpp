#include "runtime/log_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace brelo {
namespace {

std::mutex sinkMutex;
LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

bool stdoutIsJournal() noexcept {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st {};
    // Inherited by a program that systemd did not start itself: it names another file then.
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDOUT_FILENO, &st) == 0 &&
           st.st_dev == device && st.st_ino == inode;
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

void log(std::string_view message, LogPriority priority) noexcept {
    static const bool journal = stdoutIsJournal();
    try {
        std::string line = formatLogLine(std::time(nullptr), message);
        LogSink sink;
        {
            std::lock_guard lock(sinkMutex);
            sink = currentSink();
        }
        if (sink)
            sink(line);
        else if (journal)
            writeAll(STDOUT_FILENO, "<" + std::to_string(static_cast<int>(priority)) + ">" + line);
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
