#pragma once

// The Bluetooth LE service as the listener and the beacon see it: central managers that
// scan and report advertisements, a peripheral manager that advertises, and the process's
// authorization. Plain values only; no bus, object path or variant crosses this line.
//
// Every callback arrives on the main loop, never from inside a call into the manager, and
// never from inside the constructor: the first state report comes after creation without
// being asked for, then one for every change.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/uuid.h"

namespace brelo::bluetooth {

// Manager state on the platform's integer scale (the number the "bluetooth state" log
// line shows). A value off the scale is possible and means unknown to the listener.
enum class ManagerState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

// Authorization of the process to use Bluetooth.
enum class Authorization : int { notDetermined = 0, restricted = 1, denied = 2, allowedAlways = 3 };

// One received advertisement. An optional that is empty means the advertisement did not
// carry that item (or carried it with a type the binding could not read).
struct Advertisement {
    Uuid identifier;                                   // stable per remote device
    // The platform's own name for the device, where it keeps one apart from what is
    // advertised (a name read from the device itself). BlueZ keeps none: its only name for
    // a device it merely hears is the advertised one, which is localName.
    std::optional<std::string> peripheralName;
    std::optional<std::string> localName;              // advertised local name
    std::optional<std::vector<uint8_t>> manufacturerData;  // company identifier (low byte first) + data
    std::optional<std::vector<Uuid>> serviceUuids;     // in advertised order
    std::optional<int64_t> txPowerLevel;
    int64_t rssi = 0;                                  // dBm
};

class CentralManager;
class PeripheralManager;

class CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    virtual void centralManagerDidUpdateState(CentralManager& manager) = 0;
    // Each received advertisement goes to exactly one manager: the first one made that is
    // scanning and whose scan accepts it. So a device is counted once however many managers
    // scan, and a manager scanning for services behind one that scans for everything hears
    // nothing.
    virtual void centralManagerDidDiscover(CentralManager& manager, const Advertisement& advertisement) = 0;
};

class CentralManager {
public:
    virtual ~CentralManager() = default;
    virtual ManagerState state() const = 0;
    // Scans until the radio powers off. No services: every advertisement; otherwise only
    // devices advertising one of them. Every advertisement received is reported, repeats
    // included. A repeated request while scanning is harmless.
    virtual void scanForPeripherals(const std::optional<std::vector<Uuid>>& services) = 0;
    // Ends this manager's scan: no advertisement reaches its delegate after the call. When no
    // manager scans any more, the platform stops scanning. A platform that cannot scan has
    // nothing to stop.
    virtual void stopScan() {}
};

struct AdvertisingData {
    std::string localName;
    std::vector<Uuid> serviceUuids;
};

class PeripheralManagerDelegate {
public:
    virtual ~PeripheralManagerDelegate() = default;
    virtual void peripheralManagerDidUpdateState(PeripheralManager& manager) = 0;
    // The outcome of startAdvertising: no error once the advertisement is on the air,
    // otherwise the platform's reason for refusing it.
    virtual void peripheralManagerDidStartAdvertising(PeripheralManager& manager,
                                                      const std::optional<std::string>& error) {
        (void)manager;
        (void)error;
    }
};

class PeripheralManager {
public:
    virtual ~PeripheralManager() = default;
    virtual ManagerState state() const = 0;
    virtual void startAdvertising(const AdvertisingData& data) = 0;
    // Takes the advertisement off the air and forgets the wish for it: a later power-on does
    // not bring it back. Nothing is reported.
    virtual void stopAdvertising() {}
};

// Makes managers and answers the authorization query. The delegate must outlive the manager.
class BluetoothPlatform {
public:
    virtual ~BluetoothPlatform() = default;
    virtual std::unique_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) = 0;
    virtual std::unique_ptr<PeripheralManager> makePeripheralManager(PeripheralManagerDelegate& delegate) = 0;
    virtual Authorization authorization() const = 0;
    // The listener's report window begins now; it ends when the next one begins. A platform
    // whose scan reports a device once per scan (BlueZ under the kernel's duplicate filter)
    // starts a new scan once inside each window, away from its edges, so that every device
    // is in every window.
    virtual void reportWindowBegan() {}
};

}  // namespace brelo::bluetooth
