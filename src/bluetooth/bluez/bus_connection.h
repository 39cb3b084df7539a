#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/bluez/bus_pump.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and who owns
// org.bluez on it. A lost connection is made again with back-off; BlueZ's object-manager
// signals go to the binding's objects.
class BusConnection {
public:
    explicit BusConnection(BluezBinding& binding);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    void connect();
    // Cancels every call and match and closes the connection.
    void drop();

    sd_bus* bus() const { return bus_.get(); }
    // Connected, with an owner of org.bluez to call.
    bool bluezThere() const { return bus_ && !owner_.empty(); }
    const std::string& owner() const { return owner_; }
    bool ownerKnown() const { return ownerKnown_; }
    bool hadOwner() const { return hadOwner_; }
    bool reconnecting() const { return reconnecting_; }
    bool isBluez(std::string_view sender) const { return !owner_.empty() && sender == owner_; }
    bool fromBluez(sd_bus_message* m) const;

private:
    void failed();
    void setOwner(std::string owner);
    static int onDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    BluezBinding& binding_;
    // Declared first so that it goes last: every slot below refers to it.
    BusPtr bus_;
    // Reads the connection in batches; goes before the connection it reads.
    std::unique_ptr<BusPump> pump_;
    bool reconnecting_ = false;  // the connection was lost (or never made) and is being re-made
    double backoffS_;
    // org.bluez's owner as last learnt from the bus.
    bool ownerKnown_ = false;
    std::string owner_;
    bool hadOwner_ = false;
    SlotPtr matches_[5];
    SlotPtr ownerCall_;
    runtime::Alarm reconnectAlarm_;
    runtime::Alarm teardownAlarm_;
};

}  // namespace brelo::bluetooth::bluez
