#pragma once

// The inside of BluezPlatform: the parts of the binding, one concern each, and what joins
// them. Every part refers to the others through the binding.

#include <string>

#include "bluetooth/bluez/access_refusals.h"
#include "bluetooth/bluez/advertising.h"
#include "bluetooth/bluez/bluez_managers.h"
#include "bluetooth/bluez/bluez_objects.h"
#include "bluetooth/bluez/bluez_platform.h"
#include "bluetooth/bluez/bus_connection.h"
#include "bluetooth/bluez/discovery.h"
#include "bluetooth/bluez/managers.h"
#include "bluetooth/bluez/monitor_registration.h"
#include "bluetooth/bluez/radio_recovery.h"
#include "bluetooth/bluez/window_scans.h"
#include "runtime/event_loop.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding {
    BluezBinding(runtime::EventLoop& loop, BluezOptions options);
    ~BluezBinding();
    BluezBinding(const BluezBinding&) = delete;
    BluezBinding& operator=(const BluezBinding&) = delete;

    // The delay before the next try, and the one after it (doubled, within the options' bounds).
    double nextBackoff(double& backoff) const;
    // BlueZ went or has a new owner: nothing it told us holds any more.
    void forgetBluez();
    // The connection is going: our objects come off the bus.
    void withdrawObjects();
    // Another adapter is in use (or none): nothing set up on the old one carries over.
    void adapterChanged();

    runtime::EventLoop& loop;
    const BluezOptions options;
    // The connection first, so that it goes last: the other parts hold calls on it.
    BusConnection connection{*this};
    BluezObjects objects{*this};
    AccessRefusals access{*this};
    Managers managers{*this};
    Discovery discovery{*this};
    WindowScans windowScans{*this};
    MonitorRegistration monitor{*this};
    RadioRecovery radio{*this};
    Advertising advertising{*this};
};

}  // namespace brelo::bluetooth::bluez
