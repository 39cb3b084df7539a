#include "fake_adapter.h"

#include <algorithm>

#include "script.h"

namespace brelo::fakebluez {

FakeAdapter::FakeAdapter(Env& env, AdapterConfig config)
    : env_(env), config_(std::move(config)), path_("/org/bluez/" + config_.name) {
    emitInterfacesAdded(env_.bus, path_, interfaces());
}

Interfaces FakeAdapter::interfaces() const {
    Interfaces out{{kAdapterInterface, *properties(path_, kAdapterInterface)}};
    if (advertising_.offered())
        out[kAdvertisingInterface] = advertising_.properties();
    return out;
}

void FakeAdapter::listObjects(std::map<std::string, Interfaces>& out) const {
    out[path_] = interfaces();
    for (auto& [address, device] : devices_)
        out[devicePath(address)] = {{kDeviceInterface, device}};
}

std::optional<Properties> FakeAdapter::properties(const std::string& path, const std::string& interface) const {
    if (path == path_ && interface == kAdapterInterface)
        return Properties{
            {"Address", config_.address},
            {"AddressType", std::string("public")},
            {"Name", std::string("fake-bluez")},
            {"Alias", std::string("fake-bluez")},
            {"Powered", config_.powered},
            {"Discovering", discovery_.discovering()},
            {"UUIDs", Strings{}},
            {"Roles", Strings{"central", "peripheral"}},
        };
    if (path == path_ && interface == kAdvertisingInterface && advertising_.offered())
        return advertising_.properties();
    const std::string prefix = path_ + "/dev_";
    if (interface != kDeviceInterface || path.rfind(prefix, 0) != 0)
        return std::nullopt;
    std::string address = path.substr(prefix.size());
    std::replace(address.begin(), address.end(), '_', ':');
    auto it = devices_.find(address);
    return it == devices_.end() ? std::nullopt : std::optional<Properties>(it->second);
}

int FakeAdapter::call(sd_bus_message* m, sd_bus_error* error) {
    const std::string interface = sd_bus_message_get_interface(m) ? sd_bus_message_get_interface(m) : "";
    const std::string member = sd_bus_message_get_member(m);
    struct Method {
        const char* interface;
        const char* member;
        const char* signature;
        int (*run)(FakeAdapter&, sd_bus_message*, sd_bus_error*);
    };
    static const Method kMethods[] = {
        {kAdapterInterface, "StartDiscovery", "", [](auto& a, auto m, auto e) { return a.discovery_.start(m, e); }},
        {kAdapterInterface, "StopDiscovery", "", [](auto& a, auto m, auto e) { return a.discovery_.stop(m, e); }},
        {kAdapterInterface, "SetDiscoveryFilter", "a{sv}",
         [](auto& a, auto m, auto e) { return a.discovery_.setFilter(m, e); }},
        {kAdvertisingInterface, "RegisterAdvertisement", "oa{sv}",
         [](auto& a, auto m, auto e) { return a.advertising_.registerAdvertisement(m, e); }},
        {kAdvertisingInterface, "UnregisterAdvertisement", "o",
         [](auto& a, auto m, auto e) { return a.advertising_.unregister(m, e); }},
    };
    for (auto& method : kMethods) {
        if (interface != method.interface || member != method.member)
            continue;
        if (interface == kAdvertisingInterface && !advertising_.offered())
            return 0;
        if (!sd_bus_message_has_signature(m, method.signature))
            return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "%s takes (%s)", method.member,
                                     method.signature);
        return method.run(*this, m, error);
    }
    return 0;
}

void FakeAdapter::setPowered(bool on, const std::string& by) {
    if (config_.powered == on)
        return;
    config_.powered = on;
    say("power " + config_.name + (on ? " on" : " off") + (by.empty() ? "" : " by " + by));
    Properties changed{{"Powered", on}};
    const bool wasDiscovering = discovery_.discovering();
    if (!on) {
        discovery_.poweredOff();
        if (wasDiscovering)
            changed["Discovering"] = false;
    }
    emitPropertiesChanged(env_.bus, path_, kAdapterInterface, changed);
    if (wasDiscovering && !on)
        invalidateSignals();
}

void FakeAdapter::announceRemoval() {
    advertising_.releaseAll();
    for (auto& [address, device] : devices_)
        emitInterfacesRemoved(env_.bus, devicePath(address), {kDeviceInterface});
    Strings names;
    for (auto& [name, properties] : interfaces())
        names.push_back(name);
    emitInterfacesRemoved(env_.bus, path_, names);
}

void FakeAdapter::forgetClient(const std::string& owner) {
    discovery_.forgetClient(owner);
    advertising_.forgetClient(owner);
}

std::string FakeAdapter::devicePath(const std::string& address) const {
    std::string node = address;
    std::replace(node.begin(), node.end(), ':', '_');
    return path_ + "/dev_" + node;
}

namespace {

// Folds an advertisement into a device the way BlueZ does: name, TX power and each company's
// data replace the old value, new UUIDs join the list, RSSI is reported every time. Returns
// what changed.
Properties fold(Properties& device, const AdvertData& data) {
    Properties changed;
    auto set = [&](const char* key, Value value) {
        auto it = device.find(key);
        if (it == device.end() || !(it->second == value))
            device[key] = changed[key] = std::move(value);
    };
    if (data.name) {
        set("Name", *data.name);
        set("Alias", *data.name);
    }
    if (data.txPower)
        set("TxPower", *data.txPower);
    Strings uuids = std::get<Strings>(device["UUIDs"]);
    for (auto& uuid : data.uuids)
        if (std::find(uuids.begin(), uuids.end(), uuid) == uuids.end())
            uuids.push_back(uuid);
    set("UUIDs", uuids);
    if (!data.manufacturerData.empty()) {
        auto it = device.find("ManufacturerData");
        CompanyData merged = it == device.end() ? CompanyData{} : std::get<CompanyData>(it->second);
        for (auto& [company, bytes] : data.manufacturerData)
            merged[company] = bytes;
        set("ManufacturerData", merged);
    }
    if (data.rssi)
        device["RSSI"] = changed["RSSI"] = *data.rssi;
    return changed;
}

}  // namespace

bool FakeAdapter::addDevice(const std::string& address, const AdvertData& data) {
    if (hasDevice(address))
        throw ScriptError("device " + address + " already exists on " + config_.name);
    std::string alias = address;  // without a name, BlueZ's alias is the address with dashes
    std::replace(alias.begin(), alias.end(), ':', '-');
    Properties& device = devices_[address] = {
        {"Address", address},   {"AddressType", std::string("public")}, {"Alias", alias},
        {"Paired", false},      {"Trusted", false},                     {"Blocked", false},
        {"Connected", false},   {"UUIDs", Strings{}},                   {"Adapter", ObjectPath{path_}},
    };
    fold(device, data);
    return emitInterfacesAdded(env_.bus, devicePath(address), {{kDeviceInterface, device}}) >= 0;
}

void FakeAdapter::removeDevice(const std::string& address) {
    if (devices_.erase(address) == 0)
        throw ScriptError("no device " + address + " on " + config_.name);
    emitInterfacesRemoved(env_.bus, devicePath(address), {kDeviceInterface});
}

void FakeAdapter::invalidateSignals() {
    for (auto& [address, device] : devices_) {
        Strings gone;
        for (const char* key : {"RSSI", "TxPower"})
            if (device.erase(key))
                gone.push_back(key);
        if (!gone.empty())
            emitPropertiesChanged(env_.bus, devicePath(address), kDeviceInterface, {}, gone);
    }
}

Delivery FakeAdapter::advert(const std::string& address, const AdvertData& data) {
    if (!env_.impostor)
        if (auto stopped = discovery_.gate(address, data))
            return *stopped;
    auto it = devices_.find(address);
    if (it == devices_.end())
        return addDevice(address, data) ? Delivery::Delivered : Delivery::SendFailed;
    Properties changed = fold(it->second, data);
    if (!changed.empty() && emitPropertiesChanged(env_.bus, devicePath(address), kDeviceInterface, changed) < 0)
        return Delivery::SendFailed;
    return Delivery::Delivered;
}

}  // namespace brelo::fakebluez
