#pragma once

// What every part of the binding needs to talk to BlueZ: names, error tests and the
// asynchronous call that never starts bluetoothd.

#include <cstring>
#include <string>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {

using runtime::BusPtr;
using runtime::MessagePtr;
using runtime::SlotPtr;

inline constexpr const char* kBluez = "org.bluez";
inline constexpr const char* kBusService = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

inline constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char* kNotPermitted = "org.bluez.Error.NotPermitted";
inline constexpr const char* kNotReady = "org.bluez.Error.NotReady";
inline constexpr const char* kFailed = "org.bluez.Error.Failed";
inline constexpr const char* kInProgress = "org.bluez.Error.InProgress";
inline constexpr const char* kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

// The error of a reply, or nullptr when it is a method return.
inline const sd_bus_error* replyError(sd_bus_message* m) {
    return sd_bus_message_is_method_error(m, nullptr) ? sd_bus_message_get_error(m) : nullptr;
}

inline bool isError(const sd_bus_error* e, const char* name) { return e && e->name && std::strcmp(e->name, name) == 0; }

// BlueZ or the bus refusing us access (the bus policy, or BlueZ's own NotPermitted).
inline bool isAccessRefusal(const sd_bus_error* e) { return isError(e, kAccessDenied) || isError(e, kNotPermitted); }

// An asynchronous call to BlueZ (destination its unique name) that never has the bus start
// bluetoothd: a call while it is down would otherwise activate it behind the user's back.
// types and what follows as for sd_bus_message_append; nullptr for no arguments.
int callBluez(sd_bus* bus, sd_bus_slot** slot, const std::string& destination, const std::string& path,
              const char* interface, const char* member, sd_bus_message_handler_t callback, void* userdata,
              const char* types = nullptr, ...);
// The same for a message built by the caller.
int newBluezCall(sd_bus* bus, MessagePtr& m, const std::string& destination, const std::string& path,
                 const char* interface, const char* member);

}  // namespace brelo::bluetooth::bluez
