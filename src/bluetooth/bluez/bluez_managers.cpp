#include "bluetooth/bluez/bluez_managers.h"

#include <algorithm>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

BluezCentral::BluezCentral(BluezBinding& binding, CentralManagerDelegate& delegate)
    : binding_(binding), delegate_(delegate) {
    binding_.managers.add(*this);
}

BluezCentral::~BluezCentral() { binding_.managers.remove(*this); }

void BluezCentral::scanForPeripherals(const std::optional<std::vector<Uuid>>& services) {
    binding_.discovery.request(*this, services);
}

void BluezCentral::stopScan() { binding_.discovery.stop(*this); }

bool BluezCentral::accepts(const std::optional<std::vector<Uuid>>& deviceUuids) const {
    if (services_.empty())
        return true;
    if (!deviceUuids)
        return false;
    return std::any_of(services_.begin(), services_.end(), [&](const Uuid& wanted) {
        return std::find(deviceUuids->begin(), deviceUuids->end(), wanted) != deviceUuids->end();
    });
}

BluezPeripheral::BluezPeripheral(BluezBinding& binding, PeripheralManagerDelegate& delegate, std::string path)
    : binding_(binding),
      delegate_(delegate),
      registration_(binding.loop, [this] { binding_.advertising.retry(*this); }),
      object_(
          std::move(path), [&binding](std::string_view sender) { return binding.connection.bluez().is(sender); },
          [this] { binding_.advertising.released(*this); }) {
    binding_.managers.add(*this);
}

BluezPeripheral::~BluezPeripheral() { binding_.managers.remove(*this); }

void BluezPeripheral::startAdvertising(const AdvertisingData& data) { binding_.advertising.request(*this, data); }

void BluezPeripheral::stopAdvertising() { binding_.advertising.stop(*this); }

}  // namespace brelo::bluetooth::bluez
