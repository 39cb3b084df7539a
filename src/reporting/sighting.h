#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "bluetooth/uuid.h"

namespace brelo::reporting {

// What one flush window heard of one peripheral.
struct Sighting {
    bool listener = false;  // it advertised the listener beacon's service
    std::string name;
    std::optional<int64_t> company;
    std::vector<std::string> services;
    std::string prefix;
    std::vector<int64_t> rssi;  // one reading per advertisement, in order of arrival
    std::string mfg;
    std::optional<int64_t> tx;
};

// One flush window: a sighting per peripheral identifier.
using Window = std::unordered_map<bluetooth::Uuid, Sighting, bluetooth::UuidHash>;

}  // namespace brelo::reporting
