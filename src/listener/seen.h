#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brelo::listener {

// What the current batch knows about one peripheral.
struct Seen {
    bool listener = false;
    std::string name;
    std::optional<int64_t> company;
    std::vector<std::string> services;
    std::string prefix;
    std::vector<int64_t> rssi;
    std::string mfg;
    std::optional<int64_t> tx;
};

}  // namespace brelo::listener
