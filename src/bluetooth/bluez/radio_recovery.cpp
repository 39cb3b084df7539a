#include "bluetooth/bluez/radio_recovery.h"

#include "bluetooth/bluez/bluez_binding.h"
#include "runtime/log_writer.h"

namespace brelo::bluetooth::bluez {

RadioRecovery::RadioRecovery(BluezBinding& binding)
    : binding_(binding), watch_(binding.options.radio), powerAlarm_(binding.loop, [this] { powerOn(); }) {
    checkTimer_ = binding.loop.repeating(binding.options.radioCheckIntervalS, [this] { check(); });
}

void RadioRecovery::heard() { watch_.heard(binding_.loop.monotonicNow()); }

std::string RadioRecovery::note() const { return watch_.describe(binding_.loop.monotonicNow()); }

void RadioRecovery::reset() {
    call_.reset();
    powerAlarm_.cancel();
    cycle_ = Cycle::None;
    watch_.reset();
}

void RadioRecovery::check() {
    const Discovery& discovery = binding_.discovery;
    if (!discovery.active() || discovery.calling() || cycling() || !binding_.managers.scanWanted() ||
        !discovery.possible())
        return;
    switch (watch_.check(binding_.loop.monotonicNow(), binding_.objects.adapterName())) {
    case RadioWatch::Action::restartDiscovery:
        binding_.discovery.restart();
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
void RadioRecovery::cyclePower() {
    const BusConnection& c = binding_.connection;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), binding_.objects.adapterPath(), kProperties, "Set",
                      &onPoweredOff, this, "ssv", kAdapterInterface, "Powered", "b", 0);
    if (r < 0) {
        watch_.powerCycleFailed(binding_.loop.monotonicNow(), "no call to BlueZ");
        return;
    }
    call_.reset(slot);
    cycle_ = Cycle::TurningOff;
    backoffS_ = 0;
}

void RadioRecovery::powerOn() {
    const BusConnection& c = binding_.connection;
    if (cycle_ != Cycle::TurningOn || !c.bluezThere() || binding_.objects.adapterPath().empty())
        return;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), binding_.objects.adapterPath(), kProperties, "Set",
                      &onPoweredOn, this, "ssv", kAdapterInterface, "Powered", "b", 1);
    if (r < 0) {
        powerAlarm_.arm(binding_.nextBackoff(backoffS_));
        return;
    }
    call_.reset(slot);
}

void RadioRecovery::failed(const sd_bus_error* e) {
    cycle_ = Cycle::None;
    watch_.powerCycleFailed(binding_.loop.monotonicNow(), e && e->message ? e->message : "BlueZ refused it");
}

int RadioRecovery::onPoweredOff(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<RadioRecovery*>(userdata);
    try {
        self->call_.reset();
        if (const sd_bus_error* e = replyError(m)) {
            self->failed(e);
            return 0;
        }
        self->cycle_ = Cycle::TurningOn;
        self->powerOn();
    } catch (...) {
    }
    return 0;
}

// We turned the radio off: it must come back on, so a refusal is tried again (with a growing
// delay) until it is on, or until the adapter or bluetoothd changes under us.
int RadioRecovery::onPoweredOn(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<RadioRecovery*>(userdata);
    try {
        self->call_.reset();
        if (const sd_bus_error* e = replyError(m)) {
            log("cannot power " + self->binding_.objects.adapterName() + " on again: " +
                    (e->message ? e->message : e->name),
                LogPriority::error);
            self->powerAlarm_.arm(self->binding_.nextBackoff(self->backoffS_));
            return 0;
        }
        self->cycle_ = Cycle::None;
    } catch (...) {
    }
    return 0;
}

}  // namespace brelo::bluetooth::bluez
