#include "fake_devices.h"

#include <algorithm>

#include "fake_adapter.h"
#include "script.h"

namespace brelo::fakebluez {

std::string FakeDevices::pathOf(const std::string& address) const {
    std::string node = address;
    std::replace(node.begin(), node.end(), ':', '_');
    return adapterPath_ + "/dev_" + node;
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
    if (!data.uuids.empty()) {
        Strings uuids = std::get<Strings>(device["UUIDs"]);
        for (auto& uuid : data.uuids)
            if (std::find(uuids.begin(), uuids.end(), uuid) == uuids.end())
                uuids.push_back(uuid);
        set("UUIDs", uuids);
    }
    if (!data.manufacturerData.empty()) {
        auto it = device.find("ManufacturerData");
        CompanyData merged = it == device.end() ? CompanyData{} : std::get<CompanyData>(it->second);
        for (auto& [company, bytes] : data.manufacturerData)
            put(merged, company, bytes);
        set("ManufacturerData", merged);
    }
    if (data.rssi)
        device["RSSI"] = changed["RSSI"] = *data.rssi;
    return changed;
}

}  // namespace

bool FakeDevices::add(const std::string& address, const AdvertData& data) {
    if (has(address))
        throw ScriptError("device " + address + " already exists");
    std::string alias = address;  // without a name, BlueZ's alias is the address with dashes
    std::replace(alias.begin(), alias.end(), ':', '-');
    Properties& device = devices_[address] = {
        {"Address", address},   {"AddressType", std::string("public")}, {"Alias", alias},
        {"Paired", false},      {"Trusted", false},                     {"Blocked", false},
        {"Connected", false},   {"UUIDs", Strings{}},                   {"Adapter", ObjectPath{adapterPath_}},
    };
    fold(device, data);
    return emitInterfacesAdded(env_.bus, pathOf(address), {{kDeviceInterface, device}}) >= 0;
}

void FakeDevices::remove(const std::string& address) {
    if (devices_.erase(address) == 0)
        throw ScriptError("no device " + address);
    emitInterfacesRemoved(env_.bus, pathOf(address), {kDeviceInterface});
}

void FakeDevices::invalidateSignals() {
    for (auto& [address, device] : devices_) {
        Strings gone;
        for (const char* key : {"RSSI", "TxPower"})
            if (device.erase(key))
                gone.push_back(key);
        if (!gone.empty())
            emitPropertiesChanged(env_.bus, pathOf(address), kDeviceInterface, {}, gone);
    }
}

bool FakeDevices::heard(const std::string& address, const AdvertData& data) {
    auto it = devices_.find(address);
    if (it == devices_.end())
        return add(address, data);
    Properties changed = fold(it->second, data);
    return changed.empty() || emitPropertiesChanged(env_.bus, pathOf(address), kDeviceInterface, changed) >= 0;
}

void FakeDevices::announceRemoval() {
    for (auto& [address, device] : devices_)
        emitInterfacesRemoved(env_.bus, pathOf(address), {kDeviceInterface});
}

void FakeDevices::list(std::map<std::string, Interfaces>& out) const {
    for (auto& [address, device] : devices_)
        out[pathOf(address)] = {{kDeviceInterface, device}};
}

std::optional<Properties> FakeDevices::properties(const std::string& path) const {
    const std::string prefix = adapterPath_ + "/dev_";
    if (path.rfind(prefix, 0) != 0)
        return std::nullopt;
    std::string address = path.substr(prefix.size());
    std::replace(address.begin(), address.end(), '_', ':');
    auto it = devices_.find(address);
    return it == devices_.end() ? std::nullopt : std::optional<Properties>(it->second);
}

}  // namespace brelo::fakebluez
