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
    devices_.list(out);
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
    return interface == kDeviceInterface ? devices_.properties(path) : std::nullopt;
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
        devices_.invalidateSignals();
}

void FakeAdapter::announceRemoval() {
    advertising_.releaseAll();
    devices_.announceRemoval();
    Strings names;
    for (auto& [name, properties] : interfaces())
        names.push_back(name);
    emitInterfacesRemoved(env_.bus, path_, names);
}

void FakeAdapter::forgetClient(const std::string& owner) {
    discovery_.forgetClient(owner);
    advertising_.forgetClient(owner);
}

Delivery FakeAdapter::advert(const std::string& address, const AdvertData& data) {
    if (!env_.impostor)
        if (auto stopped = discovery_.gate(address, data))
            return *stopped;
    return devices_.heard(address, data) ? Delivery::Delivered : Delivery::SendFailed;
}

}  // namespace brelo::fakebluez
