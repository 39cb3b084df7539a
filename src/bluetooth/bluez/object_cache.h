#pragma once

// BlueZ's objects as this process knows them: adapters (with whether they offer LE
// advertising) and devices, built from GetManagedObjects and kept current from
// InterfacesAdded, InterfacesRemoved and PropertiesChanged.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/device_properties.h"

namespace brelo::bluetooth::bluez {

inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kMonitorManagerInterface = "org.bluez.AdvertisementMonitorManager1";

// BlueZ keeps an object for every device it heard lately, and anyone in range can invent
// addresses; past this many, new devices are not tracked until BlueZ drops old ones.
inline constexpr size_t kMaxDevices = 4096;

struct AdapterProperties {
    std::optional<bool> powered;
    std::optional<bool> discovering;
};

// What one message changed, for the caller to act on.
struct CacheChange {
    // An adapter appeared, disappeared or changed Powered, or an advertising or monitor manager
    // came or went.
    bool adapters = false;
    // Discovering went from true to false (or unreadable) on discoveringAdapter.
    bool discoveringStopped = false;
    std::string_view discoveringAdapter;  // valid while the message is
    // Set when the message carried a device's RSSI: one received advertisement.
    DeviceProperties* device = nullptr;  // valid until the cache next changes
    std::string_view devicePath;          // valid while the message is
};

// Whether the object at path lies below parent (a device below its adapter). Nothing lies
// below an empty parent.
bool isBelow(std::string_view path, std::string_view parent);

class ObjectCache {
public:
    explicit ObjectCache(size_t maxDevices = kMaxDevices) : maxDevices_(maxDevices) {}

    void clear();

    // The reply to GetManagedObjects (a{oa{sa{sv}}}); replaces everything known.
    int load(sd_bus_message* reply);
    // InterfacesAdded (o, a{sa{sv}}).
    int interfacesAdded(sd_bus_message* m, CacheChange& change);
    // InterfacesRemoved (o, as).
    int interfacesRemoved(sd_bus_message* m, CacheChange& change);
    // PropertiesChanged (s, a{sv}, as) on the object at the message's path.
    int propertiesChanged(sd_bus_message* m, CacheChange& change);

    // Adapters in object-path order.
    const std::map<std::string, AdapterProperties, std::less<>>& adapters() const { return adapters_; }
    const AdapterProperties* adapter(std::string_view path) const;
    bool hasAdvertisingManager(std::string_view path) const;
    bool hasMonitorManager(std::string_view path) const;
    DeviceProperties* device(std::string_view path);
    size_t deviceCount() const { return devices_.size(); }

private:
    struct PathHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    int readInterfaces(sd_bus_message* m, std::string_view path, CacheChange* change);
    void removeAdapter(std::string_view path);

    size_t maxDevices_;
    std::map<std::string, AdapterProperties, std::less<>> adapters_;
    std::set<std::string, std::less<>> advertisingManagers_;
    std::set<std::string, std::less<>> monitorManagers_;
    std::unordered_map<std::string, DeviceProperties, PathHash, std::equal_to<>> devices_;
};

}  // namespace brelo::bluetooth::bluez
