#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

// ---------------------------------------------------------------------------------------
// Advertisement monitor
//
// BlueZ 5.66 offers AdvertisementMonitorManager1 only with experimental features (-E);
// later releases by default. Without it the node restarts discovery every flush window
// instead (see armRediscovery). The registration lasts as long as bluetoothd: a restarted
// one has cleared the kernel's monitors, so each new owner gets it again.

void BluezBinding::ensureMonitor() {
    if (monitor_ != Monitor::None || !bus_ || owner_.empty() || !objectsKnown_ || !currentAdapter() ||
        !cache_.hasMonitorManager(adapterPath_))
        return;
    if (monitorObject_.exportOn(bus_.get()) < 0)
        return;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, adapterPath_, kMonitorManagerInterface, "RegisterMonitor",
                      &onMonitorRegistered, this, "o", MonitorObject::kRoot);
    if (r < 0)
        return;
    monitorCall_.reset(slot);
    monitor_ = Monitor::Registering;
}

int BluezBinding::onMonitorRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->monitorCall_.reset();
        if (self->monitor_ != Monitor::Registering)
            return 0;  // activated before the answer came
        // Refused: the periodic restarts go on, and the next owner is asked again.
        self->monitor_ = replyError(m) ? Monitor::Refused : Monitor::Registered;
    } catch (...) {
    }
    return 0;
}

// The kernel scans without its duplicate filter from the next discovery start on: restart
// once, then no more periodic restarts.
void BluezBinding::monitorActivated() {
    if (monitor_ == Monitor::Active || monitor_ == Monitor::None)
        return;
    monitor_ = Monitor::Active;
    rediscoverAlarm_.cancel();
    if (discoveryActive_ && !discoveryCall_ && scanWanted() && discoveryPossible())
        nudgeDiscovery();
}

void BluezBinding::monitorReleased() {
    if (monitor_ == Monitor::None)
        return;
    monitor_ = Monitor::Refused;
    if (discoveryActive_)
        armRediscovery();
}

void BluezBinding::resetMonitor() {
    monitorCall_.reset();
    monitor_ = Monitor::None;
}

}  // namespace brelo::bluetooth::bluez
