#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "bus_values.h"
#include "fake_discovery.h"

namespace brelo::fakebluez {

struct Env;

inline constexpr const char* kDeviceInterface = "org.bluez.Device1";

// An adapter's remote devices (org.bluez.Device1 at ADAPTER/dev_AA_BB_...), each a map of
// its properties, into which the advertisements heard are folded as BlueZ folds them.
class FakeDevices {
public:
    FakeDevices(Env& env, std::string adapterPath) : env_(env), adapterPath_(std::move(adapterPath)) {}

    bool has(const std::string& address) const { return devices_.count(address) > 0; }
    // InterfacesAdded; throws ScriptError when it exists, false when the bus would not take it.
    bool add(const std::string& address, const AdvertData& data);
    void remove(const std::string& address);  // InterfacesRemoved; throws ScriptError when unknown
    // An advertisement: a new device, or one PropertiesChanged with what it changed. False
    // when the bus would not take the signal.
    bool heard(const std::string& address, const AdvertData& data);
    // Discovery ended: every device drops its RSSI and TxPower, as invalidated properties.
    void invalidateSignals();
    void announceRemoval();  // InterfacesRemoved for each: the adapter goes

    void list(std::map<std::string, Interfaces>& out) const;
    std::optional<Properties> properties(const std::string& path) const;

private:
    std::string pathOf(const std::string& address) const;

    Env& env_;
    const std::string adapterPath_;
    std::map<std::string, Properties> devices_;  // by address
};

}  // namespace brelo::fakebluez
