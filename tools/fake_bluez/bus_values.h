#pragma once

// The double keeps every property as a value in a map, and writes one map the same way for
// GetAll, GetManagedObjects, InterfacesAdded and PropertiesChanged. A property BlueZ has no
// value for (a device's Name before one was heard, its RSSI outside discovery) is simply not
// in the map, so it is left out everywhere, as BlueZ leaves it out.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <systemd/sd-bus.h>

namespace brelo::fakebluez {

using Bytes = std::vector<uint8_t>;
// ManufacturerData: a{qv}, each value ay, in the order the companies were first heard, as
// BlueZ keeps them (its list, not sorted).
using CompanyData = std::vector<std::pair<uint16_t, Bytes>>;
// Replaces the company's data, or adds it at the end.
inline void put(CompanyData& data, uint16_t company, Bytes bytes) {
    for (auto& [c, b] : data)
        if (c == company)
            return void(b = std::move(bytes));
    data.emplace_back(company, std::move(bytes));
}
struct ObjectPath {
    std::string path;
    bool operator==(const ObjectPath&) const = default;
};
using Strings = std::vector<std::string>;
using Value = std::variant<bool, uint8_t, int16_t, uint16_t, uint32_t, std::string, ObjectPath, Strings, CompanyData>;
using Properties = std::map<std::string, Value>;
using Interfaces = std::map<std::string, Properties>;  // an object's interfaces

// One entry of an a{sv} a client sent: its signature, and its value when it is of a type
// the double reads (a ManufacturerData whose values are not all byte arrays has none).
struct Entry {
    std::string signature;
    std::optional<Value> value;
};
using Entries = std::vector<std::pair<std::string, Entry>>;

int appendValue(sd_bus_message* m, const Value& value);  // as a variant

// A dictionary a{ENTRY}: each key (ENTRY's first type, s or o) and its value, which
// appendValue writes.
template <class Map, class AppendValue>
int appendDict(sd_bus_message* m, const std::string& entry, const Map& map, AppendValue appendValue) {
    int r = sd_bus_message_open_container(m, 'a', ("{" + entry + "}").c_str());
    for (auto it = map.begin(); r >= 0 && it != map.end(); ++it) {
        r = sd_bus_message_open_container(m, 'e', entry.c_str());
        if (r >= 0 && (r = sd_bus_message_append_basic(m, entry[0], it->first.c_str())) >= 0 &&
            (r = appendValue(m, it->second)) >= 0)
            r = sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}
inline int appendProperties(sd_bus_message* m, const Properties& properties) {
    return appendDict(m, "sv", properties, appendValue);
}
inline int appendInterfaces(sd_bus_message* m, const Interfaces& interfaces) {
    return appendDict(m, "sa{sv}", interfaces, appendProperties);
}
// Reads an a{sv}; negative errno when the message is broken.
int readEntries(sd_bus_message* m, Entries& out);
// A value as the journal shows it: numbers, true/false, lists joined by commas, text with
// a blank in quotes.
std::string shown(const Value& value);

// The signals BlueZ sends. destination empty: to everyone. Negative: not sent.
int emitInterfacesAdded(sd_bus* bus, const std::string& path, const Interfaces& interfaces,
                        const std::string& destination = "");
int emitInterfacesRemoved(sd_bus* bus, const std::string& path, const Strings& interfaces);
int emitPropertiesChanged(sd_bus* bus, const std::string& path, const std::string& interface,
                          const Properties& changed, const Strings& invalidated = {});

std::string senderOf(sd_bus_message* m);

}  // namespace brelo::fakebluez
