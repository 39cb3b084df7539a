#pragma once

// The inside of BluezPlatform: the binding shared by every manager, and the managers.
// Each concern of the binding (connection and owner, BlueZ's objects and the adapter in
// use, discovery, advertising) is implemented in its own file.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/advertisement_object.h"
#include "runtime/alarm.h"
#include "bluetooth/bluez/bluez_platform.h"
#include "bluetooth/bluez/bus_pump.h"
#include "bluetooth/bluez/monitor_object.h"
#include "bluetooth/bluez/object_cache.h"
#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {

using runtime::BusPtr;
using runtime::MessagePtr;
using runtime::SlotPtr;
using runtime::Alarm;

inline constexpr const char* kBluez = "org.bluez";
inline constexpr const char* kBusService = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kLocal = "org.freedesktop.DBus.Local";
inline constexpr const char* kLocalPath = "/org/freedesktop/DBus/Local";

inline constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
inline constexpr const char* kPropertiesMatch =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',path_namespace='/org/bluez'";

inline constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char* kNotPermitted = "org.bluez.Error.NotPermitted";
inline constexpr const char* kNotReady = "org.bluez.Error.NotReady";
inline constexpr const char* kFailed = "org.bluez.Error.Failed";
inline constexpr const char* kInProgress = "org.bluez.Error.InProgress";
inline constexpr const char* kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

// The error of a reply, or nullptr when it is a method return.
inline const sd_bus_error* replyError(sd_bus_message* m) {
    return sd_bus_message_is_method_error(m, nullptr) ? sd_bus_message_get_error(m) : nullptr;
}

inline bool isError(const sd_bus_error* e, const char* name) { return e && e->name && std::strcmp(e->name, name) == 0; }

// BlueZ or the bus refusing us access (the bus policy, or BlueZ's own NotPermitted).
inline bool isAccessRefusal(const sd_bus_error* e) { return isError(e, kAccessDenied) || isError(e, kNotPermitted); }

// An asynchronous call to BlueZ (destination its unique name) that never has the bus start
// bluetoothd: a call while it is down would otherwise activate it behind the user's back.
// types and what follows as for sd_bus_message_append; nullptr for no arguments.
int callBluez(sd_bus* bus, sd_bus_slot** slot, const std::string& destination, const std::string& path,
              const char* interface, const char* member, sd_bus_message_handler_t callback, void* userdata,
              const char* types = nullptr, ...);
// The same for a message built by the caller.
int newBluezCall(sd_bus* bus, runtime::MessagePtr& m, const std::string& destination, const std::string& path,
                 const char* interface, const char* member);


class BluezCentral;
class BluezPeripheral;

// Everything behind BluezPlatform: the bus connection, the owner of org.bluez, BlueZ's
// objects, the discovery and the advertisement registrations, and the managers to report to.
class BluezBinding {
public:
    BluezBinding(runtime::EventLoop& loop, BluezOptions options);
    ~BluezBinding();

    void add(BluezCentral& central);
    void remove(BluezCentral& central);
    void add(BluezPeripheral& peripheral);
    void remove(BluezPeripheral& peripheral);

    void requestScan(BluezCentral& central, const std::optional<std::vector<Uuid>>& services);
    void requestAdvertising(BluezPeripheral& peripheral, const AdvertisingData& data);
    void stopScan(BluezCentral& central);
    void stopAdvertising(BluezPeripheral& peripheral);
    Authorization authorization() const { return denied_ ? Authorization::denied : Authorization::allowedAlways; }
    // The listener's report window begins: arms this window's kernel scan restart.
    void windowBegan();

    // What BlueZ (or the bus policy) refused us, one bit per kind of request, so that one
    // kind succeeding does not hide another still refused.
    enum Access : unsigned { kObjectsAccess = 1, kDiscoveryAccess = 2, kAdvertisingAccess = 4 };

    bool isBluez(std::string_view sender) const { return !owner_.empty() && sender == owner_; }
    void released(BluezPeripheral& peripheral);
    void retryAdvertising(BluezPeripheral& peripheral);
    runtime::EventLoop& loop() { return loop_; }
    std::string radioNote() const { return radio_.describe(loop_.monotonicNow()); }
    const BluezOptions& options() const { return options_; }

private:
    // Connection.
    void connect();
    void connectionFailed();
    void dropConnection();
    static int onDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    // Owner of org.bluez and its objects.
    static int onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    void setOwner(std::string owner);
    void forgetBluez();
    void fetchObjects();
    static int onObjects(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    using CacheReader = int (ObjectCache::*)(sd_bus_message*, CacheChange&);
    static int applySignal(sd_bus_message* m, void* userdata, CacheReader read) noexcept;
    bool fromBluez(sd_bus_message* m) const;
    void apply(const CacheChange& change);
    void selectAdapter();
    void settleLater();
    const AdapterProperties* currentAdapter() const;

    // Refusals and retries.
    void refused(Access what);
    void accepted(Access what);
    void retry();
    double nextBackoff(double& backoff) const;

    // States.
    std::optional<ManagerState> centralState() const;
    ManagerState peripheralState(ManagerState central) const;
    void update();
    void publishStates();

    // Discovery.
    bool scanWanted() const;
    bool discoveryPossible() const;
    void ensureDiscovery(bool requested);
    void sendDiscoveryFilter();
    void discoveryStopped();
    void retryDiscoveryIfPossible();
    void watchRadio();
    void cyclePower();
    std::string adapterName() const;
    void powerOn();
    void powerCycleFailed(const sd_bus_error* e);
    static int onPoweredOff(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onPoweredOn(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    void restartDiscovery();
    void nudgeDiscovery();
    void armRediscovery();
    void rediscover();
    bool registering() const;
    void resetDiscovery();
    static int onDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStopDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    // Advertising.
    bool advertisingPossible() const;
    void advertise(BluezPeripheral& peripheral);
    void resumeAdvertising();
    void advertisingDone();
    void dropRegistration(BluezPeripheral& peripheral);
    static int onUnregistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onRegistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    // The advertisement monitor (where BlueZ offers one): with it registered the kernel
    // scans without its duplicate filter, and no periodic restarts are needed.
    void ensureMonitor();
    void monitorActivated();
    void monitorReleased();
    void resetMonitor();
    static int onMonitorRegistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    // Reports.
    void deliver(std::string_view path, DeviceProperties& device);

    runtime::EventLoop& loop_;
    BluezOptions options_;

    // The connection. Declared first so that it goes last: every slot below refers to it.
    BusPtr bus_;
    // Reads the connection in batches; goes before the connection it reads.
    std::unique_ptr<BusPump> pump_;
    bool reconnecting_ = false;  // the connection was lost (or never made) and is being re-made
    double reconnectBackoffS_;

    // org.bluez's owner as last learnt from the bus, and what it told us.
    bool ownerKnown_ = false;
    std::string owner_;
    bool hadOwner_ = false;
    bool objectsKnown_ = false;
    unsigned denied_ = 0;  // Access bits
    double retryBackoffS_;
    ObjectCache cache_;
    std::string adapterPath_;
    // The choice of adapter waits until bluetoothd has published its adapters (one at a
    // time, after it takes its name), unless the one used before is back.
    bool settled_ = false;
    bool settleShort_ = false;  // an adapter was seen: the short settle is armed
    std::string preferred_;     // the adapter in use before BlueZ went away, taken again when back
    std::string lostAdapter_;   // the adapter in use that disappeared, while its grace runs

    // Managers in creation order.
    std::vector<BluezCentral*> centrals_;
    std::vector<BluezPeripheral*> peripherals_;

    // Discovery state.
    bool discoveryActive_ = false;  // our StartDiscovery succeeded and Discovering has not fallen since
    bool discoveryAgain_ = false;   // a request came while a call was in flight
    double discoveryBackoffS_ = 0;
    bool reportedThisScan_ = false;  // an advertisement arrived since we last asked for a new scan
    bool filterNudged_ = false;      // the filter's RSSI is the nudged one
    bool nudging_ = false;           // the call in flight is a nudge of the filter
    // A radio gone silent, and our power cycle of the adapter in use while it runs.
    RadioWatch radio_;
    enum class PowerCycle { None, TurningOff, TurningOn };
    PowerCycle powerCycle_ = PowerCycle::None;
    double powerBackoffS_ = 0;
    std::optional<double> windowStartS_;  // when the listener's current report window began
    bool scanDeferred_ = false;      // a scan request made while states were being reported
    int publishing_ = 0;

    // Monitor state for the current owner and adapter.
    enum class Monitor { None, Registering, Registered, Active, Refused };
    Monitor monitor_ = Monitor::None;
    MonitorObject monitorObject_;

    SlotPtr disconnectMatch_;
    SlotPtr ownerMatch_;
    SlotPtr addedMatch_;
    SlotPtr removedMatch_;
    SlotPtr propertiesMatch_;
    SlotPtr ownerCall_;
    SlotPtr objectsCall_;
    SlotPtr discoveryCall_;
    SlotPtr monitorCall_;
    SlotPtr powerCall_;

    Alarm reconnectAlarm_;
    Alarm teardownAlarm_;
    Alarm publishAlarm_;
    Alarm retryAlarm_;
    Alarm discoveryAlarm_;
    Alarm rediscoverAlarm_;
    Alarm settleAlarm_;
    Alarm powerAlarm_;
    Alarm graceAlarm_;
    std::unique_ptr<runtime::Timer> radioTimer_;
};

class BluezCentral final : public CentralManager {
public:
    BluezCentral(BluezBinding& binding, CentralManagerDelegate& delegate) : binding_(binding), delegate(delegate) {
        binding_.add(*this);
    }
    ~BluezCentral() override { binding_.remove(*this); }

    ManagerState state() const override { return state_; }
    void scanForPeripherals(const std::optional<std::vector<Uuid>>& services) override {
        // Repeats are reported: the discovery filter asks BlueZ for every advertisement.
        binding_.requestScan(*this, services);
    }
    void stopScan() override { binding_.stopScan(*this); }

    // A scan without services takes every advertisement; one with services, a device
    // advertising one of them.
    bool accepts(const std::optional<std::vector<Uuid>>& deviceUuids) const {
        if (services.empty())
            return true;
        if (!deviceUuids)
            return false;
        return std::any_of(services.begin(), services.end(), [&](const Uuid& wanted) {
            return std::find(deviceUuids->begin(), deviceUuids->end(), wanted) != deviceUuids->end();
        });
    }

private:
    BluezBinding& binding_;

public:
    CentralManagerDelegate& delegate;
    ManagerState state_ = ManagerState::unknown;
    bool fresh = true;  // made since the last deferred report: not reported to from inside its maker
    bool reported = false;
    bool scanning = false;
    std::vector<Uuid> services;
};

class BluezPeripheral final : public PeripheralManager {
public:
    BluezPeripheral(BluezBinding& binding, PeripheralManagerDelegate& delegate, std::string path)
        : binding_(binding),
          delegate(delegate),
          object(
              std::move(path), [&binding](std::string_view sender) { return binding.isBluez(sender); },
              [this] { binding_.released(*this); }) {
        binding_.add(*this);
    }
    ~BluezPeripheral() override { binding_.remove(*this); }

    ManagerState state() const override { return state_; }
    void startAdvertising(const AdvertisingData& data) override { binding_.requestAdvertising(*this, data); }
    void stopAdvertising() override { binding_.stopAdvertising(*this); }
    BluezBinding& binding() { return binding_; }

private:
    BluezBinding& binding_;

public:
    PeripheralManagerDelegate& delegate;
    ManagerState state_ = ManagerState::unknown;
    bool fresh = true;
    bool reported = false;
    bool wanted = false;      // advertising was asked for
    bool registered = false;  // BlueZ accepted the registration and has not dropped it since
    bool hold = false;        // released by BlueZ: register again only when asked, or on a new adapter/owner
    bool again = false;       // asked again while a registration was in flight
    bool quiet = false;       // a retry after a refusal: only its success is reported
    bool pauseDiscovery = false;  // refused while discovery ran: register with discovery paused
    double backoffS = 0;
    SlotPtr call;
    Alarm retryAlarm{binding_.loop().get(), [this] { binding_.retryAdvertising(*this); }};
    AdvertisementObject object;
};

}  // namespace brelo::bluetooth::bluez
