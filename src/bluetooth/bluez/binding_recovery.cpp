#include <string>

#include "bluetooth/bluez/bluez_binding.h"
#include "runtime/log_writer.h"

namespace brelo::bluetooth::bluez {

// ---------------------------------------------------------------------------------------
// A radio gone silent

// A controller can stop reporting while BlueZ still shows Discovering; the watch judges the
// silence and says which step to try (a real stop and start of discovery first: starting
// again alone answers InProgress and changes nothing; then a power cycle, which resets it).
void BluezBinding::watchRadio() {
    if (!discoveryActive_ || discoveryCall_ || powerCycle_ != PowerCycle::None || !scanWanted() ||
        !discoveryPossible())
        return;
    switch (radio_.check(loop_.monotonicNow(), adapterName())) {
    case RadioWatch::Action::restartDiscovery:
        restartDiscovery();
        break;
    case RadioWatch::Action::powerCycle:
        cyclePower();
        break;
    case RadioWatch::Action::none:
        break;
    }
}

// Powered false, then true, through BlueZ: the kernel closes the controller and opens it
// again with a reset. The managers see powered off and on, as for anyone's power cycle, and
// scan and advertise again from there.
void BluezBinding::cyclePower() {
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, adapterPath_, "org.freedesktop.DBus.Properties", "Set",
                      &onPoweredOff, this, "ssv", kAdapterInterface, "Powered", "b", 0);
    if (r < 0) {
        radio_.powerCycleFailed(loop_.monotonicNow(), "no call to BlueZ");
        return;
    }
    powerCall_.reset(slot);
    powerCycle_ = PowerCycle::TurningOff;
    powerBackoffS_ = 0;
}

std::string BluezBinding::adapterName() const { return adapterPath_.substr(adapterPath_.rfind('/') + 1); }

void BluezBinding::powerOn() {
    if (powerCycle_ != PowerCycle::TurningOn || !bus_ || owner_.empty() || adapterPath_.empty())
        return;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, adapterPath_, "org.freedesktop.DBus.Properties", "Set",
                      &onPoweredOn, this, "ssv", kAdapterInterface, "Powered", "b", 1);
    if (r < 0) {
        powerAlarm_.arm(nextBackoff(powerBackoffS_));
        return;
    }
    powerCall_.reset(slot);
}

void BluezBinding::powerCycleFailed(const sd_bus_error* e) {
    powerCycle_ = PowerCycle::None;
    radio_.powerCycleFailed(loop_.monotonicNow(), e && e->message ? e->message : "BlueZ refused it");
}

int BluezBinding::onPoweredOff(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->powerCall_.reset();
        if (const sd_bus_error* e = replyError(m)) {
            self->powerCycleFailed(e);
            return 0;
        }
        self->powerCycle_ = PowerCycle::TurningOn;
        self->powerOn();
    } catch (...) {
    }
    return 0;
}

// We turned the radio off: it must come back on, so a refusal is tried again (with a growing
// delay) until it is on, or until the adapter or bluetoothd changes under us.
int BluezBinding::onPoweredOn(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->powerCall_.reset();
        if (const sd_bus_error* e = replyError(m)) {
            log("cannot power " + self->adapterName() + " on again: " + (e->message ? e->message : e->name),
                LogPriority::error);
            self->powerAlarm_.arm(self->nextBackoff(self->powerBackoffS_));
            return 0;
        }
        self->powerCycle_ = PowerCycle::None;
    } catch (...) {
    }
    return 0;
}

}  // namespace brelo::bluetooth::bluez
