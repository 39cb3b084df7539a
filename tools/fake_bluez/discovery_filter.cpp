#include "fake_discovery.h"

#include "adapter_support.h"
#include "script.h"

namespace brelo::fakebluez {

int readDiscoveryFilter(sd_bus_message* m, DiscoveryFilter& filter, std::string& shown, std::string& problem,
                        bool& empty) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while (problem.empty() && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        empty = false;
        const char* keyRaw = nullptr;
        if ((r = sd_bus_message_read(m, "s", &keyRaw)) < 0)
            return r;
        std::string key = keyRaw;
        std::string sig = variantSignature(m);
        auto expect = [&](const char* type) {
            if (sig != type)
                problem = key + " has type " + sig + ", expected " + type;
            return problem.empty();
        };
        if (key == "Transport") {
            const char* v = nullptr;
            if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                filter.transport = v;
                if (filter.transport != "auto" && filter.transport != "le" && filter.transport != "bredr")
                    problem = "Transport '" + filter.transport + "' is not auto, le or bredr";
                shown += " Transport=" + filter.transport;
            }
        } else if (key == "DuplicateData" || key == "Discoverable") {
            int v = 0;
            if (expect("b") && (r = sd_bus_message_read(m, "v", "b", &v)) >= 0) {
                (key == "DuplicateData" ? filter.duplicateData : filter.discoverable) = v != 0;
                shown += " " + key + (v ? "=true" : "=false");
            }
        } else if (key == "RSSI") {
            int16_t v = 0;
            if (expect("n") && (r = sd_bus_message_read(m, "v", "n", &v)) >= 0) {
                filter.rssi = v;
                if (v < -127 || v > 20)
                    problem = "RSSI " + std::to_string(v) + " is outside -127..20";
                shown += " RSSI=" + std::to_string(v);
            }
        } else if (key == "Pathloss") {
            uint16_t v = 0;
            if (expect("q") && (r = sd_bus_message_read(m, "v", "q", &v)) >= 0) {
                filter.pathloss = v;
                if (v > 137)
                    problem = "Pathloss " + std::to_string(v) + " is above 137";
                shown += " Pathloss=" + std::to_string(v);
            }
        } else if (key == "UUIDs") {
            std::vector<std::string> uuids;
            if (expect("as") && (r = readStrings(m, uuids)) >= 0) {
                for (auto& u : uuids) {
                    auto full = fullUuid(u);
                    if (!full)
                        problem = "UUIDs holds '" + u + "', which is not a UUID";
                    else
                        filter.uuids.push_back(*full);
                }
                shown += " UUIDs=" + joined(uuids);
            }
        } else if (key == "Pattern") {
            const char* v = nullptr;
            if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                filter.pattern = v;
                shown += " Pattern=" + quoteIfSpaced(v);
            }
        } else {
            problem = "unknown key " + key;
        }
        if (r < 0)
            return r;
        if (problem.empty() && (r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    if (problem.empty() && filter.rssi && filter.pathloss)
        problem = "RSSI and Pathloss together";
    return 0;
}

}  // namespace brelo::fakebluez
