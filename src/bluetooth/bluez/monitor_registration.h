#pragma once

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/bluez/monitor_object.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The advertisement monitor, where BlueZ offers one (5.66 only with experimental features,
// -E; later releases by default): while one is registered the kernel scans without its
// duplicate filter, and no new scan per window is needed. The registration lasts as long as
// bluetoothd: a restarted one has cleared the kernel's monitors, so each new owner gets it
// again.
class MonitorRegistration {
public:
    explicit MonitorRegistration(BluezBinding& binding);

    // Registers the monitor when BlueZ offers it on the adapter in use and it is not yet.
    void ensure();
    bool active() const { return state_ == State::Active; }
    // A new owner or adapter: asked for again.
    void reset();
    void withdraw() { object_.withdraw(); }

private:
    // The kernel scans without its duplicate filter from the next discovery start on: a new
    // scan once, then no more per window.
    void activated();
    void released();
    static int onRegistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    enum class State { None, Registering, Registered, Active, Refused };

    BluezBinding& binding_;
    State state_ = State::None;
    MonitorObject object_;
    SlotPtr call_;
};

}  // namespace brelo::bluetooth::bluez
