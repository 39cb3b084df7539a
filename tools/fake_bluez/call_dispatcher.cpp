#include "call_dispatcher.h"

#include "fake_adapter.h"
#include "runtime/handles.h"

namespace brelo::fakebluez {
namespace {

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

int CallDispatcher::onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    try {
        return static_cast<CallDispatcher*>(userdata)->dispatch(m, error);
    } catch (const std::exception& e) {
        return sd_bus_error_set(error, "org.bluez.Error.Failed", e.what());
    }
}

int CallDispatcher::dispatch(sd_bus_message* m, sd_bus_error* error) {
    const std::string path = sd_bus_message_get_path(m);
    if (deny_) {
        const char* interface = sd_bus_message_get_interface(m);
        env_.say("denied " + senderOf(m) + " " + (interface ? interface : "") + "." + sd_bus_message_get_member(m) +
                 " " + path);
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

int CallDispatcher::managedObjects(sd_bus_message* m) {
    std::map<std::string, Interfaces> objects;
    for (auto& [name, adapter] : adapters_)
        adapter->listObjects(objects);
    return replyWith(m, [&](sd_bus_message* reply) {
        return appendDict(reply, "oa{sa{sv}}", objects, appendInterfaces);
    });
}

int CallDispatcher::propertyCall(sd_bus_message* m, sd_bus_error* error) {
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
        return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_INTERFACE, "No interface %s at %s", interface,
                                 path.c_str());
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
