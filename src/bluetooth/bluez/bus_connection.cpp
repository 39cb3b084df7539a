#include "bluetooth/bluez/bus_connection.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {
namespace {

constexpr const char* kLocal = "org.freedesktop.DBus.Local";
constexpr const char* kLocalPath = "/org/freedesktop/DBus/Local";
constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
constexpr const char* kPropertiesMatch =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',path_namespace='/org/bluez'";

// A bus address without its guid= keys. The guid names one run of the bus daemon, and
// sd-bus refuses a daemon whose guid differs, so an address that names one would keep us
// from ever reconnecting to a restarted daemon.
std::string withoutGuid(std::string_view address) {
    std::string out;
    size_t i = 0;
    while (i <= address.size()) {
        size_t end = address.find_first_of(",;", i);
        if (end == std::string_view::npos)
            end = address.size();
        std::string_view part = address.substr(i, end - i);
        // A key right after a transport prefix ("unix:guid=...") is never produced by daemons,
        // so only whole ",guid=" components are dropped.
        bool isGuid = part.substr(0, 5) == "guid=" && i > 0 && address[i - 1] == ',';
        if (!isGuid) {
            if (!out.empty() && i > 0)
                out += address[i - 1];
            out += part;
        }
        if (end == address.size())
            break;
        i = end + 1;
    }
    return out;
}

int openSystemBus(sd_bus** out) {
    const char* address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address || !std::strstr(address, "guid="))
        return sd_bus_open_system(out);
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0)
        return r;
    BusPtr owned(bus);
    std::string plain = withoutGuid(address);
    r = sd_bus_set_address(bus, plain.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_set_trusted(bus, 0);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0) {
        sd_bus_close_unref(owned.release());  // never started: nothing to flush
        return r;
    }
    *out = owned.release();
    return 0;
}

}  // namespace

BusConnection::BusConnection(BluezBinding& binding)
    : binding_(binding),
      backoffS_(binding.options.backoffFirstS),
      bluez_(binding),
      reconnectAlarm_(binding.loop, [this] { connect(); }),
      teardownAlarm_(binding.loop, [this] { failed(); }) {}

BusConnection::~BusConnection() = default;

void BusConnection::connect() {
    drop();
    sd_bus* raw = nullptr;
    int r = openSystemBus(&raw);
    if (r < 0) {
        failed();
        return;
    }
    bus_.reset(raw);
    try {
        pump_ = std::make_unique<BusPump>(binding_.loop.get(), raw, binding_.options.busQuietS);
        r = 0;
    } catch (const std::system_error& e) {
        r = -e.code().value();
    }

    // Matches go out before the owner lookup, so no change of owner or object falls between.
    BluezObjects* objects = &binding_.objects;
    sd_bus_slot* slot[5] = {};
    if (r >= 0)
        r = sd_bus_match_signal_async(raw, &slot[0], kLocal, kLocalPath, kLocal, "Disconnected", &onDisconnected,
                                      nullptr, this);
    if (r >= 0)
        r = sd_bus_add_match_async(raw, &slot[1], kOwnerMatch, &onNameOwnerChanged, nullptr, this);
    if (r >= 0)
        r = sd_bus_match_signal_async(raw, &slot[2], kBluez, "/", kObjectManager, "InterfacesAdded",
                                      &BluezObjects::onInterfacesAdded, nullptr, objects);
    if (r >= 0)
        r = sd_bus_match_signal_async(raw, &slot[3], kBluez, "/", kObjectManager, "InterfacesRemoved",
                                      &BluezObjects::onInterfacesRemoved, nullptr, objects);
    if (r >= 0)
        r = sd_bus_add_match_async(raw, &slot[4], kPropertiesMatch, &BluezObjects::onPropertiesChanged, nullptr,
                                   objects);
    for (int i = 0; i < 5; ++i)
        matches_[i].reset(slot[i]);
    if (r >= 0) {
        sd_bus_slot* call = nullptr;
        r = sd_bus_call_method_async(raw, &call, kBusService, kBusPath, kBusService, "GetNameOwner", &onNameOwner,
                                     this, "s", kBluez);
        ownerCall_.reset(call);
    }
    if (r < 0)
        failed();
}

// The connection could not be made or was lost: report resetting and try again later.
void BusConnection::failed() {
    drop();
    reconnecting_ = true;
    binding_.managers.update();
    reconnectAlarm_.arm(binding_.nextBackoff(backoffS_));
}

void BusConnection::drop() {
    teardownAlarm_.cancel();
    for (auto& match : matches_)
        match.reset();
    ownerCall_.reset();
    bluez_.forget();
    binding_.forgetBluez();
    binding_.withdrawObjects();
    pump_.reset();
    bus_.reset();
}

int BusConnection::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    // Not torn down here: the connection is still dispatching this message.
    static_cast<BusConnection*>(userdata)->teardownAlarm_.arm(0);
    return 0;
}

int BusConnection::onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BusConnection*>(userdata);
    try {
        self->ownerCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (e && !isError(e, kNameHasNoOwner) && !sd_bus_is_open(self->bus_.get()))
            return 0;  // the connection is going; its Disconnected follows
        const char* owner = "";
        if (!e && sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &owner) <= 0)
            owner = "";
        // The bus answered: the connection works.
        self->reconnecting_ = false;
        self->backoffS_ = self->binding_.options.backoffFirstS;
        self->bluez_.set(owner);
    } catch (...) {
    }
    return 0;
}

int BusConnection::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BusConnection*>(userdata);
    try {
        const char* sender = sd_bus_message_get_sender(m);
        if (!sender || std::strcmp(sender, kBusService) != 0)
            return 0;
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || std::strcmp(name, kBluez) != 0)
            return 0;
        self->reconnecting_ = false;
        self->bluez_.set(newOwner);
    } catch (...) {
    }
    return 0;
}

}  // namespace brelo::bluetooth::bluez
