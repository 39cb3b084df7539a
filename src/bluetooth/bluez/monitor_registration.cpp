#include "bluetooth/bluez/monitor_registration.h"

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

MonitorRegistration::MonitorRegistration(BluezBinding& binding)
    : binding_(binding),
      object_([&binding](std::string_view sender) { return binding.connection.bluez().is(sender); },
              [this] { activated(); }, [this] { released(); }) {}

void MonitorRegistration::ensure() {
    const BusConnection& c = binding_.connection;
    const BluezObjects& objects = binding_.objects;
    if (state_ != State::None || !c.bluezThere() || !objects.known() || !objects.adapter() ||
        !objects.cache().hasMonitorManager(objects.adapterPath()))
        return;
    if (object_.exportOn(c.bus()) < 0)
        return;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), objects.adapterPath(), kMonitorManagerInterface,
                      "RegisterMonitor", &onRegistered, this, "o", MonitorObject::kRoot);
    if (r < 0)
        return;
    call_.reset(slot);
    state_ = State::Registering;
}

int MonitorRegistration::onRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<MonitorRegistration*>(userdata);
    try {
        self->call_.reset();
        if (self->state_ != State::Registering)
            return 0;  // activated before the answer came
        // Refused: the new scan per window goes on, and the next owner is asked again.
        self->state_ = replyError(m) ? State::Refused : State::Registered;
    } catch (...) {
    }
    return 0;
}

void MonitorRegistration::activated() {
    if (state_ == State::Active || state_ == State::None)
        return;
    state_ = State::Active;
    binding_.windowScans.cancel();
    const Discovery& discovery = binding_.discovery;
    if (discovery.active() && !discovery.calling() && binding_.managers.scanWanted() && discovery.possible())
        binding_.windowScans.nudge();
}

void MonitorRegistration::released() {
    if (state_ == State::None)
        return;
    state_ = State::Refused;
    if (binding_.discovery.active())
        binding_.windowScans.arm();
}

void MonitorRegistration::reset() {
    call_.reset();
    state_ = State::None;
}

}  // namespace brelo::bluetooth::bluez
