#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {
namespace {

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

int newBluezCall(sd_bus* bus, runtime::MessagePtr& m, const std::string& destination, const std::string& path,
                 const char* interface, const char* member) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, destination.c_str(), path.c_str(), interface, member);
    if (r < 0)
        return r;
    m.reset(raw);
    return sd_bus_message_set_auto_start(raw, 0);
}

int callBluez(sd_bus* bus, sd_bus_slot** slot, const std::string& destination, const std::string& path,
              const char* interface, const char* member, sd_bus_message_handler_t callback, void* userdata,
              const char* types, ...) {
    MessagePtr m;
    int r = newBluezCall(bus, m, destination, path, interface, member);
    if (r >= 0 && types) {
        va_list ap;
        va_start(ap, types);
        r = sd_bus_message_appendv(m.get(), types, ap);
        va_end(ap);
    }
    if (r < 0)
        return r;
    return sd_bus_call_async(bus, slot, m.get(), callback, userdata, 0);
}

// ---------------------------------------------------------------------------------------
// Connection

void BluezBinding::connect() {
    dropConnection();
    sd_bus* raw = nullptr;
    int r = openSystemBus(&raw);
    if (r < 0) {
        connectionFailed();
        return;
    }
    bus_.reset(raw);
    try {
        pump_ = std::make_unique<BusPump>(loop_.get(), raw, options_.busQuietS);
        r = 0;
    } catch (const std::system_error& e) {
        r = -e.code().value();
    }

    // Matches go out before the owner lookup, so no change of owner or object falls between.
    sd_bus_slot* slot = nullptr;
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kLocal, kLocalPath, kLocal, "Disconnected", &onDisconnected,
                                      nullptr, this);
        disconnectMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_add_match_async(raw, &slot, kOwnerMatch, &onNameOwnerChanged, nullptr, this);
        ownerMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kBluez, "/", kObjectManager, "InterfacesAdded", &onInterfacesAdded,
                                      nullptr, this);
        addedMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kBluez, "/", kObjectManager, "InterfacesRemoved",
                                      &onInterfacesRemoved, nullptr, this);
        removedMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_add_match_async(raw, &slot, kPropertiesMatch, &onPropertiesChanged, nullptr, this);
        propertiesMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_call_method_async(raw, &slot, kBusService, kBusPath, kBusService, "GetNameOwner", &onNameOwner,
                                     this, "s", kBluez);
        ownerCall_.reset(slot);
    }
    if (r < 0)
        connectionFailed();
}

// The connection could not be made or was lost: report resetting and try again later.
void BluezBinding::connectionFailed() {
    dropConnection();
    reconnecting_ = true;
    update();
    reconnectAlarm_.arm(nextBackoff(reconnectBackoffS_));
}

void BluezBinding::dropConnection() {
    teardownAlarm_.cancel();
    disconnectMatch_.reset();
    ownerMatch_.reset();
    addedMatch_.reset();
    removedMatch_.reset();
    propertiesMatch_.reset();
    ownerCall_.reset();
    ownerKnown_ = false;
    owner_.clear();
    forgetBluez();
    for (BluezPeripheral* p : peripherals_)
        p->object.withdraw();
    monitorObject_.withdraw();
    pump_.reset();
    bus_.reset();
}

int BluezBinding::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    // Not torn down here: the connection is still dispatching this message.
    static_cast<BluezBinding*>(userdata)->teardownAlarm_.arm(0);
    return 0;
}

double BluezBinding::nextBackoff(double& backoff) const {
    double now = backoff;
    backoff = std::min(std::max(backoff * 2, options_.backoffFirstS), options_.backoffMaxS);
    return now;
}

// ---------------------------------------------------------------------------------------
// Owner and objects

int BluezBinding::onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
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
        self->reconnectBackoffS_ = self->options_.backoffFirstS;
        self->setOwner(owner);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
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
        self->setOwner(newOwner);
    } catch (...) {
    }
    return 0;
}

// A new owner (or none): nothing the old one told us holds any more.
void BluezBinding::setOwner(std::string owner) {
    if (ownerKnown_ && owner == owner_)
        return;
    forgetBluez();
    ownerKnown_ = true;
    owner_ = std::move(owner);
    if (!owner_.empty()) {
        hadOwner_ = true;
        fetchObjects();
    }
    update();
}

void BluezBinding::forgetBluez() {
    // The adapter in use (or the one lost just before BlueZ went) is taken again when back.
    if (graceAlarm_.armed())
        preferred_ = lostAdapter_;
    else if (!adapterPath_.empty())
        preferred_ = adapterPath_;
    graceAlarm_.cancel();
    settleAlarm_.cancel();
    settled_ = false;
    settleShort_ = false;
    resetMonitor();
    objectsCall_.reset();
    objectsKnown_ = false;
    denied_ = 0;
    retryAlarm_.cancel();
    retryBackoffS_ = options_.backoffFirstS;
    cache_.clear();
    adapterPath_.clear();
    resetDiscovery();
    for (BluezPeripheral* p : peripherals_)
        dropRegistration(*p);
}

}  // namespace brelo::bluetooth::bluez
