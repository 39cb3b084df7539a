#include "app/settings.h"

#include <cctype>
#include <deque>
#include <unistd.h>

namespace brelo {

std::string nodeNameFromHostName(std::string_view hostName) {
    std::string label(hostName.substr(0, hostName.find('.')));
    for (char& c : label)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return label;
}

std::string hostName() {
    char buffer[256 + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    return buffer;
}

Settings readCommandLine(std::vector<std::string> argv, std::string defaultNode) {
    Settings settings;
    settings.node = std::move(defaultNode);
    std::deque<std::string> args(std::make_move_iterator(argv.begin()), std::make_move_iterator(argv.end()));
    while (!args.empty()) {
        std::string word = std::move(args.front());
        args.pop_front();
        std::string* target = nullptr;
        if (word == "--brelo")
            target = &settings.brelo;
        else if (word == "--node")
            target = &settings.node;
        else if (word == "--room")
            target = &settings.room;
        if (target && !args.empty()) {
            *target = std::move(args.front());
            args.pop_front();
        }
    }
    return settings;
}

}  // namespace brelo
