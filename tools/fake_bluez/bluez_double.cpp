#include "bluez_double.h"

#include <iostream>
#include <system_error>

namespace brelo::fakebluez {
namespace {

void check(int r, const std::string& what) {
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), what);
}

// Answers call m with what fill appends.
template <class Fill>
int replyWith(sd_bus_message* m, Fill&& fill) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    runtime::MessagePtr reply(raw);
    if (r >= 0 && (r = fill(raw)) >= 0)
        r = sd_bus_send(nullptr, raw, nullptr);
    return r < 0 ? r : 1;
}

}  // namespace

BluezDouble::BluezDouble(runtime::EventLoop& loop, Say say, Options options)
    : loop_(loop), options_(std::move(options)) {
    env_.say = std::move(say);
    env_.impostor = options_.impostor;
}

void BluezDouble::start(std::function<void()> onReady) {
    onReady_ = std::move(onReady);
    connect();
    if (options_.impostor)
        loop_.defer([this] { say("ready"), onReady_(); });
}

void BluezDouble::connect() {
    sd_bus* raw = nullptr;
    check(sd_bus_new(&raw), "sd_bus_new");
    runtime::BusPtr bus{raw};
    int r = sd_bus_set_address(raw, options_.busAddress.c_str());
    if (r >= 0 && (r = sd_bus_set_bus_client(raw, 1)) >= 0 && (r = sd_bus_set_exit_on_disconnect(raw, 1)) >= 0)
        r = sd_bus_start(raw);
    check(r, "cannot connect to the bus at " + options_.busAddress);
    check(sd_bus_attach_event(raw, loop_.get(), SD_EVENT_PRIORITY_NORMAL), "sd_bus_attach_event");
    sd_bus_slot* slot = nullptr;
    check(sd_bus_add_fallback(raw, &slot, "/", &BluezDouble::onMethodCall, this), "sd_bus_add_fallback");
    slots_.emplace_back(slot);
    // A client's discovery and advertisements end when its connection goes away.
    check(sd_bus_match_signal_async(raw, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameOwnerChanged", &BluezDouble::onNameOwnerChanged, nullptr, this),
          "watching NameOwnerChanged");
    slots_.emplace_back(slot);
    if (!options_.impostor) {
        check(sd_bus_request_name_async(raw, &slot, "org.bluez", 0, &BluezDouble::onNameReply, this),
              "requesting org.bluez");
        slots_.emplace_back(slot);
    }
    bus_ = std::move(bus);
    env_.bus = raw;
}

int BluezDouble::onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    uint32_t result = 0;
    // 1: primary owner, 4: already the owner; 3: someone else has it.
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "u", &result) < 0 ||
        (result != 1 && result != 4)) {
        std::cerr << "fake-bluez: cannot own org.bluez\n";
        self->loop_.exit(1);
        return 0;
    }
    self->say("ready");
    self->onReady_();
    return 0;
}

int BluezDouble::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && name[0] == ':' && !*newOwner)
        for (auto& [adapterName, adapter] : self->adapters_)
            adapter->forgetClient(name);
    return 0;
}

int BluezDouble::onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    try {
        return static_cast<BluezDouble*>(userdata)->dispatch(m, error);
    } catch (const std::exception& e) {
        return sd_bus_error_set(error, "org.bluez.Error.Failed", e.what());
    }
}

int BluezDouble::dispatch(sd_bus_message* m, sd_bus_error* error) {
    const std::string path = sd_bus_message_get_path(m);
    if (deny_) {
        const char* interface = sd_bus_message_get_interface(m);
        say("denied " + senderOf(m) + " " + (interface ? interface : "") + "." + sd_bus_message_get_member(m) + " " +
            path);
        // What dbus-daemon answers when its policy keeps a client away from org.bluez.
        return sd_bus_error_setf(error, "org.freedesktop.DBus.Error.AccessDenied",
                                 "Rejected send message: the bus policy does not let %s talk to org.bluez",
                                 senderOf(m).c_str());
    }
    if (path == "/" && sd_bus_message_is_method_call(m, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"))
        return managedObjects(m);
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties", nullptr))
        return propertyCall(m, error);
    for (auto& [name, adapter] : adapters_)
        if (adapter->path() == path)
            return adapter->call(m, error);
    return 0;
}

int BluezDouble::managedObjects(sd_bus_message* m) {
    std::map<std::string, Interfaces> objects;
    for (auto& [name, adapter] : adapters_)
        adapter->listObjects(objects);
    return replyWith(m, [&](sd_bus_message* reply) {
        int r = sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}");
        for (auto it = objects.begin(); r >= 0 && it != objects.end(); ++it) {
            r = sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
            if (r >= 0 && (r = sd_bus_message_append(reply, "o", it->first.c_str())) >= 0 &&
                (r = appendInterfaces(reply, it->second)) >= 0)
                r = sd_bus_message_close_container(reply);
        }
        return r < 0 ? r : sd_bus_message_close_container(reply);
    });
}

int BluezDouble::propertyCall(sd_bus_message* m, sd_bus_error* error) {
    const std::string path = sd_bus_message_get_path(m);
    const std::string member = sd_bus_message_get_member(m);
    const char* interface = nullptr;
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &interface);
    if (r < 0 || (member != "GetAll" && (r = sd_bus_message_read(m, "s", &name)) < 0))
        return r;
    std::optional<Properties> properties;
    FakeAdapter* owner = nullptr;
    for (auto it = adapters_.begin(); !properties && it != adapters_.end(); ++it)
        if ((properties = it->second->properties(path, interface)))
            owner = it->second.get();
    if (!properties)
        return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_INTERFACE, "No interface %s at %s", interface, path.c_str());
    if (member == "GetAll")
        return replyWith(m, [&](sd_bus_message* reply) { return appendProperties(reply, *properties); });
    auto it = properties->find(name);
    if (it == properties->end())
        return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_PROPERTY, "Unknown property %s", name);
    if (member == "Get")
        return replyWith(m, [&](sd_bus_message* reply) { return appendValue(reply, it->second); });
    if (member != "Set" || std::string(interface) != kAdapterInterface || std::string(name) != "Powered")
        return sd_bus_error_setf(error, SD_BUS_ERROR_PROPERTY_READ_ONLY, "Property %s is read-only", name);
    int on = 0;
    if ((r = sd_bus_message_enter_container(m, 'v', "b")) < 0 || (r = sd_bus_message_read(m, "b", &on)) < 0)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Powered takes a boolean");
    owner->setPowered(on != 0, senderOf(m));
    return sd_bus_reply_method_return(m, "");
}

}  // namespace brelo::fakebluez
