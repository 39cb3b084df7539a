#include "advertisement_reader.h"

#include <map>

#include "adapter_support.h"
#include "script.h"

namespace brelo::fakebluez {

std::optional<std::string> readAdvertisement(sd_bus_message* m, Registration& reg) {
    static const std::map<std::string, std::string> kExpected = {
        {"Type", "s"},         {"ServiceUUIDs", "as"},      {"SolicitUUIDs", "as"},
        {"ManufacturerData", "a{qv}"}, {"ServiceData", "a{sv}"}, {"Includes", "as"},
        {"LocalName", "s"},    {"Appearance", "q"},         {"Duration", "q"},
        {"Timeout", "q"},      {"Discoverable", "b"},       {"DiscoverableTimeout", "q"},
        {"SecondaryChannel", "s"}, {"MinInterval", "u"},    {"MaxInterval", "u"},
        {"TxPower", "n"},
    };
    bool discoverable = false;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return "the properties are not an a{sv}";
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* keyRaw = nullptr;
        if (sd_bus_message_read(m, "s", &keyRaw) < 0)
            return "unreadable property name";
        std::string key = keyRaw;
        std::string sig = variantSignature(m);
        auto expected = kExpected.find(key);
        if (expected != kExpected.end() && expected->second != sig)
            return key + " has type " + sig + ", expected " + expected->second;
        if (key == "Type") {
            const char* v = nullptr;
            if (sd_bus_message_read(m, "v", "s", &v) < 0)
                return "unreadable Type";
            if (std::string(v) != "broadcast" && std::string(v) != "peripheral")
                return "Type '" + std::string(v) + "' is neither broadcast nor peripheral";
            reg.type = v;
        } else if (key == "LocalName") {
            const char* v = nullptr;
            if (sd_bus_message_read(m, "v", "s", &v) < 0)
                return "unreadable LocalName";
            // BlueZ treats an empty name as no name.
            if (*v)
                reg.localName = v;
        } else if (key == "ServiceUUIDs" || key == "SolicitUUIDs") {
            std::vector<std::string> uuids;
            if (readStrings(m, uuids) < 0)
                return "unreadable " + key;
            for (auto& u : uuids)
                if (!fullUuid(u))
                    return key + " holds '" + u + "', which is not a UUID";
            if (key == "ServiceUUIDs")
                reg.serviceUuids = uuids;
        } else if (key == "ManufacturerData" || key == "ServiceData") {
            if (!readByteArrayDict(m, key == "ManufacturerData" ? 'q' : 's',
                                   key == "ManufacturerData" ? &reg.manufacturerData : nullptr))
                return key + " values must be byte arrays";
        } else if (key == "Discoverable") {
            int v = 0;
            if (sd_bus_message_read(m, "v", "b", &v) < 0)
                return "unreadable Discoverable";
            discoverable = v != 0;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return "unreadable " + key;
        }
        if (sd_bus_message_exit_container(m) < 0)
            return "malformed property entry";
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0)
        return "malformed properties";
    if (reg.type == "broadcast" && discoverable)
        return "Broadcast cannot set flags";
    return std::nullopt;
}

}  // namespace brelo::fakebluez
