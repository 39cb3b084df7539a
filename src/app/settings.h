#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brelo {

inline constexpr std::string_view kDefaultBrelo = "http://127.0.0.1:8791";

// The process-wide settings, fixed once start-up has read the command line.
struct Settings {
    std::string brelo{kDefaultBrelo};  // the server's base URL, exactly as typed
    std::string node;                  // this listener's name
    std::string room;                  // empty: no room
};

// The first dot-separated label of a host name, lower-cased ("Kitchen-Mini.local" -> "kitchen-mini").
std::string nodeNameFromHostName(std::string_view hostName);

// This machine's host name as gethostname(2) gives it; empty if it cannot be read.
std::string hostName();

// Reads --brelo, --node and --room from the arguments (without the program path).
// Exact, case-sensitive option names; each takes the next argument verbatim, even when it is
// empty or starts with "--"; the last occurrence wins; an option with no argument after it,
// and any other word, is dropped without a message.
Settings readCommandLine(std::vector<std::string> args, std::string defaultNode);

}  // namespace brelo
