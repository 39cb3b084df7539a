#pragma once

// The managers BluezPlatform hands out. They carry their own report and request state; the
// binding's parts act on it.

#include <optional>
#include <string>
#include <vector>

#include "bluetooth/bluez/advertisement_object.h"
#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/platform.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// What a manager was last told.
struct ManagerReport {
    ManagerState state = ManagerState::unknown;
    bool fresh = true;  // made since the last deferred report: not reported to from inside its maker
    bool reported = false;
};

class BluezCentral final : public CentralManager {
public:
    BluezCentral(BluezBinding& binding, CentralManagerDelegate& delegate);
    ~BluezCentral() override;

    ManagerState state() const override { return report_.state; }
    // Repeats are reported: the discovery filter asks BlueZ for every advertisement.
    void scanForPeripherals(const std::optional<std::vector<Uuid>>& services) override;
    void stopScan() override;

    bool scanning() const { return scanning_; }
    // Empty: every advertisement.
    const std::vector<Uuid>& services() const { return services_; }
    // A scan without services takes every advertisement; one with services, a device
    // advertising one of them.
    bool accepts(const std::optional<std::vector<Uuid>>& deviceUuids) const;

private:
    friend class Managers;
    friend class Discovery;

    BluezBinding& binding_;
    CentralManagerDelegate& delegate_;
    ManagerReport report_;
    bool scanning_ = false;
    std::vector<Uuid> services_;
};

// One advertisement's registration with BlueZ.
struct Registration {
    Registration(runtime::EventLoop& loop, std::function<void()> retry) : retryAlarm(loop, std::move(retry)) {}

    bool wanted = false;      // advertising was asked for
    bool registered = false;  // BlueZ accepted the registration and has not dropped it since
    bool hold = false;        // released by BlueZ: register again only when asked, or on a new adapter/owner
    bool again = false;       // asked again while a registration was in flight
    bool quiet = false;       // a retry after a refusal: only its success is reported
    bool pauseDiscovery = false;  // refused while discovery ran: register with discovery paused
    double backoffS = 0;
    SlotPtr call;
    runtime::Alarm retryAlarm;

    // Neither on the air nor on its way there, and nothing stands in the way of asking.
    bool idle() const { return wanted && !registered && !hold && !call; }
};

class BluezPeripheral final : public PeripheralManager {
public:
    BluezPeripheral(BluezBinding& binding, PeripheralManagerDelegate& delegate, std::string path);
    ~BluezPeripheral() override;

    ManagerState state() const override { return report_.state; }
    void startAdvertising(const AdvertisingData& data) override;
    void stopAdvertising() override;

private:
    friend class Managers;
    friend class Advertising;
    friend struct BluezBinding;

    BluezBinding& binding_;
    PeripheralManagerDelegate& delegate_;
    ManagerReport report_;
    Registration registration_;
    AdvertisementObject object_;
};

}  // namespace brelo::bluetooth::bluez
