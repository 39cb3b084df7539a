#include "mini_bluez.h"

#include <cstring>
#include <stdexcept>

namespace brelo::test {
namespace {

bool is(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

}  // namespace

MiniBluez::MiniBluez(sd_event* event, const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        throw std::runtime_error("sd_bus_new");
    bus_.reset(raw);
    sd_bus_set_address(raw, address.c_str());
    sd_bus_set_bus_client(raw, 1);
    if (sd_bus_start(raw) < 0)
        throw std::runtime_error("MiniBluez cannot reach the private bus");
    sd_bus_attach_event(raw, event, SD_EVENT_PRIORITY_NORMAL);
    sd_bus_slot* slot = nullptr;
    sd_bus_add_filter(raw, &slot, &MiniBluez::onMessage, this);
    filter_.reset(slot);
}

MiniBluez::~MiniBluez() {
    pending_.clear();
    registrations_.clear();
    filter_.reset();
}

void MiniBluez::own() {
    if (sd_bus_request_name(bus_.get(), "org.bluez", 0) < 0)
        throw std::runtime_error("cannot own org.bluez");
}

void MiniBluez::disown() { sd_bus_release_name(bus_.get(), "org.bluez"); }

const char* MiniBluez::uniqueName() const {
    const char* name = nullptr;
    sd_bus_get_unique_name(bus_.get(), &name);
    return name;
}

size_t MiniBluez::count(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& c : calls)
        n += c.rfind(prefix, 0) == 0;
    return n;
}

void MiniBluez::send(sd_bus_message* m) { sd_bus_send(bus_.get(), m, nullptr); }

void MiniBluez::appendAdapter(sd_bus_message* m, const std::string&, const Adapter& a) {
    sd_bus_message_append(m, "{sa{sv}}", "org.bluez.Adapter1", 3, "Address", "s", "00:00:00:00:00:01", "Powered",
                          "b", a.powered, "Discovering", "b", a.discovering);
    if (a.advertising)
        sd_bus_message_append(m, "{sa{sv}}", "org.bluez.LEAdvertisingManager1", 1, "ActiveInstances", "y", 0);
}

void MiniBluez::appendDevice(sd_bus_message* m, const Device& d) {
    sd_bus_message_open_container(m, 'e', "sa{sv}");
    sd_bus_message_append(m, "s", "org.bluez.Device1");
    sd_bus_message_open_container(m, 'a', "{sv}");
    sd_bus_message_append(m, "{sv}", "Address", "s", d.address.c_str());
    sd_bus_message_append(m, "{sv}", "Alias", "s", "Alias-not-a-name");
    if (d.rssi)
        sd_bus_message_append(m, "{sv}", "RSSI", "n", *d.rssi);
    if (d.name)
        sd_bus_message_append(m, "{sv}", "Name", "s", d.name->c_str());
    if (!d.uuids.empty()) {
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append(m, "s", "UUIDs");
        sd_bus_message_open_container(m, 'v', "as");
        sd_bus_message_open_container(m, 'a', "s");
        for (const auto& u : d.uuids)
            sd_bus_message_append(m, "s", u.c_str());
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
}

void MiniBluez::addAdapter(const std::string& path) { addAdapter(path, Adapter{}); }

void MiniBluez::addAdapter(const std::string& path, Adapter adapter) {
    adapters_[path] = adapter;
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus_.get(), &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "o", path.c_str());
    sd_bus_message_open_container(m.get(), 'a', "{sa{sv}}");
    appendAdapter(m.get(), path, adapter);
    sd_bus_message_close_container(m.get());
    send(m.get());
}

void MiniBluez::removeAdapter(const std::string& path) {
    adapters_.erase(path);
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus_.get(), &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "oas", path.c_str(), 2, "org.bluez.Adapter1", "org.bluez.LEAdvertisingManager1");
    send(m.get());
}

void MiniBluez::propertiesChanged(const std::string& path, const char* interface, const char* name, const char* type,
                                  const void* value) {
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus_.get(), &raw, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "s", interface);
    sd_bus_message_open_container(m.get(), 'a', "{sv}");
    sd_bus_message_open_container(m.get(), 'e', "sv");
    sd_bus_message_append(m.get(), "s", name);
    sd_bus_message_open_container(m.get(), 'v', type);
    sd_bus_message_append_basic(m.get(), type[0], value);
    sd_bus_message_close_container(m.get());
    sd_bus_message_close_container(m.get());
    sd_bus_message_close_container(m.get());
    sd_bus_message_append(m.get(), "as", 0);
    send(m.get());
}

void MiniBluez::setPowered(const std::string& path, bool powered) {
    adapters_[path].powered = powered;
    int value = powered;
    propertiesChanged(path, "org.bluez.Adapter1", "Powered", "b", &value);
    if (!powered && adapters_[path].discovering)
        setDiscovering(path, false);
}

void MiniBluez::setDiscovering(const std::string& path, bool discovering) {
    adapters_[path].discovering = discovering;
    int value = discovering;
    propertiesChanged(path, "org.bluez.Adapter1", "Discovering", "b", &value);
}

void MiniBluez::addDevice(const std::string& path, Device device) {
    devices_[path] = device;
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus_.get(), &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "o", path.c_str());
    sd_bus_message_open_container(m.get(), 'a', "{sa{sv}}");
    appendDevice(m.get(), device);
    sd_bus_message_close_container(m.get());
    send(m.get());
}

void MiniBluez::advertise(const std::string& path, int16_t rssi) {
    devices_[path].rssi = rssi;
    propertiesChanged(path, "org.bluez.Device1", "RSSI", "n", &rssi);
}

void MiniBluez::rename(const std::string& path, const std::string& name) {
    devices_[path].name = name;
    propertiesChanged(path, "org.bluez.Device1", "Name", "s", name.c_str());
}

void MiniBluez::release(const std::string& adapterPath) {
    auto it = registered_.find(adapterPath);
    if (it == registered_.end())
        return;
    sd_bus_slot* slot = nullptr;
    sd_bus_call_method_async(
        bus_.get(), &slot, it->second.owner.c_str(), it->second.path.c_str(), "org.bluez.LEAdvertisement1", "Release",
        [](sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
            auto* self = static_cast<MiniBluez*>(userdata);
            const sd_bus_error* e = sd_bus_message_get_error(m);
            self->calls.push_back(std::string("Release answered ") + (e ? e->name : "ok"));
            return 0;
        },
        this, "");
    pending_.emplace_back(slot);
    registered_.erase(it);
}

int MiniBluez::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    try {
        return static_cast<MiniBluez*>(userdata)->handle(m);
    } catch (...) {
        return 0;
    }
}

void MiniBluez::replyObjects(sd_bus_message* call) {
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_method_return(call, &raw);
    runtime::MessagePtr m(raw);
    sd_bus_message_open_container(m.get(), 'a', "{oa{sa{sv}}}");
    for (const auto& [path, adapter] : adapters_) {
        sd_bus_message_open_container(m.get(), 'e', "oa{sa{sv}}");
        sd_bus_message_append(m.get(), "o", path.c_str());
        sd_bus_message_open_container(m.get(), 'a', "{sa{sv}}");
        appendAdapter(m.get(), path, adapter);
        sd_bus_message_close_container(m.get());
        sd_bus_message_close_container(m.get());
    }
    for (const auto& [path, device] : devices_) {
        sd_bus_message_open_container(m.get(), 'e', "oa{sa{sv}}");
        sd_bus_message_append(m.get(), "o", path.c_str());
        sd_bus_message_open_container(m.get(), 'a', "{sa{sv}}");
        appendDevice(m.get(), device);
        sd_bus_message_close_container(m.get());
        sd_bus_message_close_container(m.get());
    }
    sd_bus_message_close_container(m.get());
    send(m.get());
}

int MiniBluez::handle(sd_bus_message* m) {
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL)
        return 0;
    const char* destination = sd_bus_message_get_destination(m);
    if (!is(destination, "org.bluez") && !is(destination, uniqueName()))
        return 0;
    const char* member = sd_bus_message_get_member(m);
    const char* path = sd_bus_message_get_path(m);
    if (refuseAll) {
        calls.push_back(std::string("refused ") + member);
        sd_bus_reply_method_errorf(m, refuseAll->first.c_str(), "%s", refuseAll->second.c_str());
        return 1;
    }
    if (is(member, "GetManagedObjects")) {
        calls.push_back("GetManagedObjects");
        replyObjects(m);
        return 1;
    }
    std::string adapter = path ? path : "";
    if (!adapters_.count(adapter)) {
        sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownObject", "no %s", adapter.c_str());
        return 1;
    }
    if (is(member, "SetDiscoveryFilter")) {
        if (!adapters_[adapter].powered) {
            calls.push_back("SetDiscoveryFilter refused NotReady");
            sd_bus_reply_method_errorf(m, "org.bluez.Error.NotReady", "Resource Not Ready");
            return 1;
        }
        std::string line = "SetDiscoveryFilter";
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            const char* contents = nullptr;
            sd_bus_message_peek_type(m, nullptr, &contents);
            line += std::string(" ") + key + "=";
            if (is(contents, "s")) {
                const char* s = nullptr;
                sd_bus_message_read(m, "v", "s", &s);
                line += s;
            } else if (is(contents, "b")) {
                int b = 0;
                sd_bus_message_read(m, "v", "b", &b);
                line += b ? "true" : "false";
            } else if (is(contents, "n")) {
                int16_t n = 0;
                sd_bus_message_read(m, "v", "n", &n);
                line += std::to_string(n);
            } else if (is(contents, "as")) {
                sd_bus_message_enter_container(m, 'v', "as");
                sd_bus_message_enter_container(m, 'a', "s");
                const char* s = nullptr;
                while (sd_bus_message_read(m, "s", &s) > 0)
                    line += std::string(s) + ",";
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            } else {
                line += std::string("(") + (contents ? contents : "?") + ")";
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
        calls.push_back(line);
        sd_bus_reply_method_return(m, "");
        return 1;
    }
    if (is(member, "StartDiscovery")) {
        calls.push_back("StartDiscovery " + adapter);
        if (!adapters_[adapter].powered) {
            sd_bus_reply_method_errorf(m, "org.bluez.Error.NotReady", "Resource Not Ready");
            return 1;
        }
        if (adapters_[adapter].discovering) {
            sd_bus_reply_method_errorf(m, "org.bluez.Error.InProgress", "Operation already in progress");
            return 1;
        }
        sd_bus_reply_method_return(m, "");
        setDiscovering(adapter, true);
        return 1;
    }
    if (is(member, "StopDiscovery")) {
        calls.push_back("StopDiscovery " + adapter);
        sd_bus_reply_method_return(m, "");
        setDiscovering(adapter, false);
        return 1;
    }
    if (is(member, "UnregisterAdvertisement")) {
        const char* object = nullptr;
        sd_bus_message_read(m, "o", &object);
        calls.push_back(std::string("UnregisterAdvertisement ") + object);
        auto it = registered_.find(adapter);
        if (it == registered_.end() || it->second.path != object) {
            sd_bus_reply_method_errorf(m, "org.bluez.Error.DoesNotExist", "Does Not Exist");
            return 1;
        }
        registered_.erase(it);
        sd_bus_reply_method_return(m, "");
        return 1;
    }
    if (is(member, "RegisterAdvertisement")) {
        const char* object = nullptr;
        sd_bus_message_read(m, "o", &object);
        if (registered_.count(adapter)) {
            calls.push_back("RegisterAdvertisement refused AlreadyExists");
            sd_bus_reply_method_errorf(m, "org.bluez.Error.AlreadyExists", "Already Exists");
            return 1;
        }
        // Like BlueZ: read the advertisement back from its owner before answering.
        auto pending = std::make_unique<PendingRegistration>(
            PendingRegistration{this, runtime::MessagePtr(sd_bus_message_ref(m)), adapter});
        sd_bus_slot* slot = nullptr;
        sd_bus_call_method_async(bus_.get(), &slot, sd_bus_message_get_sender(m), object,
                                 "org.freedesktop.DBus.Properties", "GetAll", &MiniBluez::onAdvertisementRead,
                                 pending.get(), "s", "org.bluez.LEAdvertisement1");
        pending_.emplace_back(slot);
        registrations_.push_back(std::move(pending));
        return 1;
    }
    sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownMethod", "no %s", member);
    return 1;
}

int MiniBluez::onAdvertisementRead(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* pending = static_cast<PendingRegistration*>(userdata);
    MiniBluez* self = pending->self;
    sd_bus_message* call = pending->call.get();
    std::string line = "RegisterAdvertisement";
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        line += std::string(" unreadable ") + e->name;
    } else {
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            line += std::string(" ") + key + "=";
            const char* contents = nullptr;
            sd_bus_message_peek_type(m, nullptr, &contents);
            if (is(contents, "s")) {
                const char* s = nullptr;
                sd_bus_message_read(m, "v", "s", &s);
                line += s;
            } else if (is(contents, "as")) {
                sd_bus_message_enter_container(m, 'v', "as");
                sd_bus_message_enter_container(m, 'a', "s");
                const char* s = nullptr;
                while (sd_bus_message_read(m, "s", &s) > 0)
                    line += s;
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            } else {
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
    }
    self->calls.push_back(line);
    if (self->refuseRegistration) {
        sd_bus_reply_method_errorf(call, self->refuseRegistration->first.c_str(), "%s",
                                   self->refuseRegistration->second.c_str());
    } else {
        const char* object = nullptr;
        sd_bus_message_rewind(call, 1);
        sd_bus_message_read(call, "o", &object);
        self->registered_[pending->adapter] = {sd_bus_message_get_sender(call), object};
        self->lastRegistrant_ = sd_bus_message_get_sender(call);
        self->lastRegisteredPath_ = object;
        sd_bus_reply_method_return(call, "");
    }
    return 0;
}

}  // namespace brelo::test
