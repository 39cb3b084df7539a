#include "fake_adapter.h"

#include <algorithm>
#include <system_error>

#include "adapter_support.h"
#include "script.h"

namespace brelo::fakebluez {

const sd_bus_vtable FakeAdapter::adapterVtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveDevice", "o", "", FakeAdapter::onRemoveDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Address", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AddressType", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Alias", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Class", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_WRITABLE_PROPERTY("Powered", "b", FakeAdapter::getProperty, FakeAdapter::setPoweredProperty, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE | SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Discoverable", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("DiscoverableTimeout", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Pairable", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("PairableTimeout", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Discovering", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("UUIDs", "as", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Roles", "as", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

FakeAdapter::FakeAdapter(BusEnv& env, AdapterConfig config)
    : env_(env), config_(std::move(config)), path_("/org/bluez/" + config_.name) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(env_.bus, &raw, path_.c_str(), kAdapterInterface, adapterVtable_, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + path_);
    adapterSlot_.reset(raw);
    sd_bus_emit_object_added(env_.bus, path_.c_str());
}

FakeAdapter::~FakeAdapter() = default;

void FakeAdapter::announceRemoval() {
    advertising_.releaseAll();
    for (auto& [address, device] : devices_)
        device->announceRemoval();
    sd_bus_emit_object_removed(env_.bus, path_.c_str());
}

void FakeAdapter::setPowered(bool on, const std::string& by) {
    if (config_.powered == on)
        return;
    config_.powered = on;
    say("power " + config_.name + (on ? " on" : " off") + (by.empty() ? "" : " by " + by));
    if (on) {
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", nullptr);
        return;
    }
    discovery_.poweredOff();
}

void FakeAdapter::forgetClient(const std::string& owner) {
    discovery_.forgetClient(owner);
    monitors_.forgetClient(owner);
    advertising_.forgetClient(owner);
}

FakeDevice* FakeAdapter::findDevice(const std::string& address) {
    auto it = devices_.find(address);
    return it == devices_.end() ? nullptr : it->second.get();
}

bool FakeAdapter::addDevice(const std::string& address, const AdvertData& data) {
    if (findDevice(address))
        throw ScriptError("device " + address + " already exists on " + config_.name);
    auto device = std::make_unique<FakeDevice>(env_.bus, path_, address);
    device->apply(data);
    int r = device->announce();
    devices_.emplace(address, std::move(device));
    return r >= 0;
}

void FakeAdapter::removeDevice(const std::string& address) {
    auto it = devices_.find(address);
    if (it == devices_.end())
        throw ScriptError("no device " + address + " on " + config_.name);
    it->second->announceRemoval();
    devices_.erase(it);
}

void FakeAdapter::invalidateSignals() {
    for (auto& [address, device] : devices_)
        device->invalidateSignal();
}

Delivery FakeAdapter::advert(const std::string& address, const AdvertData& data, const std::string& label) {
    if (!env_.impostor)
        if (auto stopped = discovery_.gate(address, data, label))
            return *stopped;
    bool sent;
    if (FakeDevice* device = findDevice(address))
        sent = device->emitChanged(device->apply(data)) >= 0;
    else
        sent = addDevice(address, data);
    return sent ? Delivery::Delivered : Delivery::SendFailed;
}

int FakeAdapter::onRemoveDevice(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& path) {
        for (auto& [address, device] : self->devices_)
            if (device->path() == path) {
                self->say("device removed " + address + " by " + senderOf(m) + " adapter=" + self->config_.name);
                self->removeDevice(std::string(address));
                return sd_bus_reply_method_return(m, "");
            }
        return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
    });
}

int FakeAdapter::getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                             void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    std::string p = property;
    if (p == "Address")
        return sd_bus_message_append(reply, "s", self->config_.address.c_str());
    if (p == "AddressType")
        return sd_bus_message_append(reply, "s", "public");
    if (p == "Name" || p == "Alias")
        return sd_bus_message_append(reply, "s", "fake-bluez");
    if (p == "Class")
        return sd_bus_message_append(reply, "u", 0x6c010cu);
    if (p == "Powered")
        return sd_bus_message_append(reply, "b", self->config_.powered ? 1 : 0);
    if (p == "Discovering")
        return sd_bus_message_append(reply, "b", self->discovery_.discovering() ? 1 : 0);
    if (p == "Discoverable")
        return sd_bus_message_append(reply, "b", 0);
    if (p == "Pairable")
        return sd_bus_message_append(reply, "b", 1);
    if (p == "DiscoverableTimeout")
        return sd_bus_message_append(reply, "u", 180u);
    if (p == "PairableTimeout")
        return sd_bus_message_append(reply, "u", 0u);
    if (p == "UUIDs")
        return sd_bus_message_append(reply, "as", 0);
    if (p == "Roles")
        return sd_bus_message_append(reply, "as", 2, "central", "peripheral");
    return -ENOENT;
}

int FakeAdapter::setPoweredProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                                    void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        int on = 0;
        int r = sd_bus_message_read(value, "b", &on);
        if (r < 0)
            return r;
        self->setPowered(on != 0, senderOf(value));
        return 0;
    });
}
}  // namespace brelo::fakebluez
