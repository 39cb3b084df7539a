#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "bluetooth/bluez/bluez_managers.h"
#include "bluetooth/bluez/device_properties.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The managers in creation order, the states they are told, and the advertisements they
// are handed.
class Managers {
public:
    explicit Managers(BluezBinding& binding);

    void add(BluezCentral& central);
    void remove(BluezCentral& central);
    void add(BluezPeripheral& peripheral);
    void remove(BluezPeripheral& peripheral);
    const std::vector<BluezCentral*>& centrals() const { return centrals_; }
    const std::vector<BluezPeripheral*>& peripherals() const { return peripherals_; }
    bool scanWanted() const;

    // Scan requests made by the delegates while states are being reported wait until every
    // manager has had its report, so that the beacon's registration goes out before
    // discovery starts: a 4.x controller refuses a new advertisement while it scans.
    bool publishing() const { return publishing_ > 0; }
    void deferScan() { scanDeferred_ = true; }

    // After anything that can change a state: power-off ends scan requests, states are
    // reported, and discovery and advertising are resumed where they are wanted.
    void update();
    // One advertisement heard on the adapter in use, to the first scanning manager that
    // takes it: a device is not counted twice.
    void deliver(std::string_view path, DeviceProperties& device);

    std::optional<ManagerState> centralState() const;  // none: what was reported stands
    ManagerState peripheralState(ManagerState central) const;

private:
    void publishStates();

    BluezBinding& binding_;
    std::vector<BluezCentral*> centrals_;
    std::vector<BluezPeripheral*> peripherals_;
    runtime::Alarm publishAlarm_;
    bool scanDeferred_ = false;
    int publishing_ = 0;
};

}  // namespace brelo::bluetooth::bluez
