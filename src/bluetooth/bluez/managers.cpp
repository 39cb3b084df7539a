#include "bluetooth/bluez/managers.h"

#include <algorithm>
#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {
Managers::Managers(BluezBinding& binding)
    : binding_(binding), publishAlarm_(binding.loop, [this] {
          for (BluezCentral* c : centrals_)
              c->report_.fresh = false;
          for (BluezPeripheral* p : peripherals_)
              p->report_.fresh = false;
          update();
      }) {}

void Managers::add(BluezCentral& central) {
    centrals_.push_back(&central);
    publishAlarm_.arm(0);
}

void Managers::remove(BluezCentral& central) { std::erase(centrals_, &central); }

void Managers::add(BluezPeripheral& peripheral) {
    peripherals_.push_back(&peripheral);
    publishAlarm_.arm(0);
}

void Managers::remove(BluezPeripheral& peripheral) { std::erase(peripherals_, &peripheral); }

bool Managers::scanWanted() const {
    return std::any_of(centrals_.begin(), centrals_.end(), [](const BluezCentral* c) { return c->scanning_; });
}

std::optional<ManagerState> Managers::centralState() const {
    const BusConnection& connection = binding_.connection;
    if (!connection.bus())
        return ManagerState::resetting;
    if (!connection.bluez().known())
        return connection.reconnecting() ? std::optional<ManagerState>(ManagerState::resetting) : std::nullopt;
    if (connection.bluez().name().empty())
        return connection.bluez().hadOne() ? ManagerState::resetting : ManagerState::unsupported;
    if (binding_.access.anyDenied())
        return ManagerState::unauthorized;
    const BluezObjects& objects = binding_.objects;
    // BlueZ has not answered yet, or is still publishing its adapters: what was reported stands.
    if (!objects.known() || objects.waitingForAdapters())
        return std::nullopt;
    if (!objects.adapter())
        return ManagerState::unsupported;
    return objects.poweredOn() ? ManagerState::poweredOn : ManagerState::poweredOff;
}

ManagerState Managers::peripheralState(ManagerState central) const {
    const BluezObjects& objects = binding_.objects;
    if ((central == ManagerState::poweredOn || central == ManagerState::poweredOff) &&
        !objects.cache().hasAdvertisingManager(objects.adapterPath()))
        return ManagerState::unsupported;
    return central;
}

void Managers::update() {
    if (binding_.objects.adapter() && !binding_.objects.poweredOn()) {
        for (BluezCentral* c : centrals_)
            c->scanning_ = false;
        binding_.discovery.poweredOff();
        // Off by someone else's hand: what was heard before says nothing about the radio.
        if (!binding_.radio.cycling())
            binding_.radio.forgetHeard();
    }
    ++publishing_;
    publishStates();
    --publishing_;
    if (publishing_)
        return;
    binding_.advertising.resume();
    binding_.monitor.ensure();
    binding_.discovery.ensure(std::exchange(scanDeferred_, false));
}

void Managers::publishStates() {
    std::optional<ManagerState> central = centralState();
    if (!central)
        return;
    ManagerState peripheral = peripheralState(*central);
    // A delegate may scan, advertise, or make or drop managers from inside its report, so
    // the list is searched again after each one.
    auto due = [](const ManagerReport& r, ManagerState s) { return !r.fresh && (!r.reported || r.state != s); };
    for (;;) {
        auto it = std::find_if(centrals_.begin(), centrals_.end(),
                               [&](const BluezCentral* c) { return due(c->report_, *central); });
        if (it == centrals_.end())
            break;
        BluezCentral& c = **it;
        c.report_ = {.state = *central, .fresh = false, .reported = true};
        c.delegate_.centralManagerDidUpdateState(c);
    }
    for (;;) {
        auto it = std::find_if(peripherals_.begin(), peripherals_.end(),
                               [&](const BluezPeripheral* p) { return due(p->report_, peripheral); });
        if (it == peripherals_.end())
            break;
        BluezPeripheral& p = **it;
        p.report_ = {.state = peripheral, .fresh = false, .reported = true};
        p.delegate_.peripheralManagerDidUpdateState(p);
    }
}

void Managers::deliver(std::string_view path, DeviceProperties& device) {
    if (!isBelow(path, binding_.objects.adapterPath()) || !device.identifier || !device.rssi)
        return;
    binding_.discovery.heard();
    binding_.windowScans.heard();
    binding_.radio.heard();
    for (BluezCentral* c : centrals_) {
        if (!c->scanning_ || !c->accepts(device.advertisement.serviceUuids))
            continue;
        device.advertisement.identifier = *device.identifier;
        device.advertisement.rssi = *device.rssi;
        c->delegate_.centralManagerDidDiscover(*c, device.advertisement);
        return;
    }
}

}  // namespace brelo::bluetooth::bluez
