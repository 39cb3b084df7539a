#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace brelo {

// Writes one line: local time as "yyyy-MM-dd HH:mm:ss", one space, the message, a line feed.
// The whole line goes out in a single write(2), so lines from different threads never mix
// and each is visible as soon as log returns, whether stdout is a terminal, a pipe or a file.
// Never fails and never throws.
//
// When standard output is the journal (systemd's JOURNAL_STREAM names its device and
// inode), the line starts with the priority as a syslog prefix ("<3>"), which journald
// strips and keeps, so `journalctl -p warning` shows trouble. Elsewhere there is no prefix.
enum class LogPriority { error = 3, warning = 4, info = 6 };
void log(std::string_view message, LogPriority priority = LogPriority::info) noexcept;

// The line that log writes for a message at the given time, line feed included.
std::string formatLogLine(std::time_t when, std::string_view message);

// Writes all of text to fd, retrying on EINTR and short writes. False on any other error.
bool writeAll(int fd, std::string_view text) noexcept;

// Where finished lines go; standard output unless replaced. Tests install their own sink
// to read the lines back. Returns the sink that was in place.
using LogSink = std::function<void(std::string_view line)>;
LogSink replaceLogSink(LogSink sink);

}  // namespace brelo
