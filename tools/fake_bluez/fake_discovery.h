#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "bus_values.h"

namespace brelo::fakebluez {

class FakeAdapter;

// What one received advertisement tells BlueZ about a remote device.
struct AdvertData {
    std::optional<int16_t> rssi;
    std::optional<std::string> name;
    std::optional<int16_t> txPower;
    Strings uuids;  // 128-bit, lower case
    CompanyData manufacturerData;
};

// What became of one advertisement heard over the air.
enum class Delivery { Delivered, NotDiscovering, Filtered, Duplicate, SendFailed };

// An adapter's discovery: the clients' sessions and filters (StartDiscovery, StopDiscovery,
// SetDiscoveryFilter with BlueZ's rules and errors), Discovering, and the kernel's scans with
// their duplicate filter.
class FakeDiscovery {
public:
    explicit FakeDiscovery(FakeAdapter& adapter) : adapter_(adapter) {}

    bool discovering() const { return discovering_; }
    int start(sd_bus_message* m, sd_bus_error* error);
    int stop(sd_bus_message* m, sd_bus_error* error);
    int setFilter(sd_bus_message* m, sd_bus_error* error);
    // Discovery stops without any client asking (the kernel or another tool stopped it).
    void stopByItself();
    // The adapter powered off: every session and filter ends. The adapter reports Powered and
    // Discovering in one PropertiesChanged, as BlueZ batches them.
    void poweredOff();
    void forgetClient(const std::string& owner);
    // Why an advertisement is not reported now; nothing when it is.
    std::optional<Delivery> gate(const std::string& address, const AdvertData& data);

private:
    struct Filter {
        Strings uuids;  // 128-bit lower case
        std::optional<int16_t> rssi;
        bool bredrOnly = false;
    };
    struct Client {
        std::optional<Filter> filter;
        bool discovering = false;
    };

    bool anyDiscovering() const {
        return std::any_of(clients_.begin(), clients_.end(), [](auto& c) { return c.second.discovering; });
    }
    void setDiscovering(bool on);
    void endSessions(const std::string& reason);
    void newScan();
    bool accepts(const AdvertData& data) const;
    std::string kernelFilter() const;
    std::string where(const std::string& owner) const;

    FakeAdapter& adapter_;
    bool discovering_ = false;
    std::map<std::string, Client> clients_;  // by unique bus name
    double scanStartS_ = 0;
    std::set<std::string> reportedThisScan_;
};

}  // namespace brelo::fakebluez
