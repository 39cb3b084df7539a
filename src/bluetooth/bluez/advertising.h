#pragma once

#include <systemd/sd-bus.h>

#include "bluetooth/platform.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;
class BluezPeripheral;

// The peripheral managers' advertisements registered with BlueZ's LEAdvertisingManager1 on
// the adapter in use: unregister first (BlueZ may still hold our path from before a power
// cycle), then register; refusals retried with back-off.
class Advertising {
public:
    explicit Advertising(BluezBinding& binding);

    void request(BluezPeripheral& peripheral, const AdvertisingData& data);
    void stop(BluezPeripheral& peripheral);
    // Registers every advertisement that is wanted and not on the air, when it can.
    void resume();
    // A refused registration, after its back-off.
    void retry(BluezPeripheral& peripheral);
    // Registrations refused for access, asked for again quietly: the refusal was reported.
    void retryRefused();
    // Registrations refused while discovery ran, now that it is paused.
    void registerPaused();
    // BlueZ dropped the advertisement (Release).
    void released(BluezPeripheral& peripheral);
    // A new owner or adapter: nothing registered before holds.
    void dropAll();
    bool registering() const;

private:
    bool possible() const;
    void advertise(BluezPeripheral& peripheral);
    void drop(BluezPeripheral& peripheral);
    // No registration in flight any more: discovery held back for it may start.
    void done();
    static int onUnregistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onRegistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    BluezBinding& binding_;
};

}  // namespace brelo::bluetooth::bluez
