#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/bluez/bluez_owner.h"
#include "bluetooth/bluez/bus_pump.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and who owns
// org.bluez on it (BluezOwner). A lost connection is made again with back-off; BlueZ's
// object-manager signals go to the binding's objects.
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
    const BluezOwner& bluez() const { return bluez_; }
    // Connected, with an owner of org.bluez to call.
    bool bluezThere() const { return bus_ && !bluez_.name().empty(); }
    bool reconnecting() const { return reconnecting_; }

private:
    void failed();
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
    BluezOwner bluez_;
    SlotPtr matches_[5];
    SlotPtr ownerCall_;
    runtime::Alarm reconnectAlarm_;
    runtime::Alarm teardownAlarm_;
};

}  // namespace brelo::bluetooth::bluez
