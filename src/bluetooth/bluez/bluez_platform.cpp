#include "bluetooth/bluez/bluez_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/advertisement_object.h"
#include "bluetooth/bluez/alarm.h"
#include "bluetooth/bluez/bus_pump.h"
#include "bluetooth/bluez/object_cache.h"
#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {
namespace {

using runtime::BusPtr;
using runtime::MessagePtr;
using runtime::SlotPtr;

constexpr const char* kBluez = "org.bluez";
constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kLocal = "org.freedesktop.DBus.Local";
constexpr const char* kLocalPath = "/org/freedesktop/DBus/Local";

constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
constexpr const char* kPropertiesMatch =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',path_namespace='/org/bluez'";

constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kNotPermitted = "org.bluez.Error.NotPermitted";
constexpr const char* kNotReady = "org.bluez.Error.NotReady";
constexpr const char* kInProgress = "org.bluez.Error.InProgress";
constexpr const char* kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

// Lowest RSSI BlueZ accepts in a discovery filter: a filter that lets everything through,
// set only because with it BlueZ reports every advertisement's RSSI rather than steps of 8 dBm.
constexpr int16_t kFilterRssi = -127;

// The error of a reply, or nullptr when it is a method return.
const sd_bus_error* replyError(sd_bus_message* m) {
    return sd_bus_message_is_method_error(m, nullptr) ? sd_bus_message_get_error(m) : nullptr;
}

bool isError(const sd_bus_error* e, const char* name) { return e && e->name && std::strcmp(e->name, name) == 0; }

// BlueZ or the bus refusing us access (the bus policy, or BlueZ's own NotPermitted).
bool isAccessRefusal(const sd_bus_error* e) { return isError(e, kAccessDenied) || isError(e, kNotPermitted); }

// A bus address without its guid= keys. The guid names one run of the bus daemon, and
// sd-bus refuses a daemon whose guid differs, so an address that names one would keep us
// from ever reconnecting to a restarted daemon.
std::string withoutGuid(std::string_view address) {
    std::string out;
    size_t i = 0;
    while (i <= address.size()) {
        size_t end = address.find_first_of(",;", i);
        if (end == std::string_view::npos)
            end = address.size();
        std::string_view part = address.substr(i, end - i);
        // A key right after a transport prefix ("unix:guid=...") is never produced by daemons,
        // so only whole ",guid=" components are dropped.
        bool isGuid = part.substr(0, 5) == "guid=" && i > 0 && address[i - 1] == ',';
        if (!isGuid) {
            if (!out.empty() && i > 0)
                out += address[i - 1];
            out += part;
        }
        if (end == address.size())
            break;
        i = end + 1;
    }
    return out;
}

int openSystemBus(sd_bus** out) {
    const char* address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address || !std::strstr(address, "guid="))
        return sd_bus_open_system(out);
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0)
        return r;
    BusPtr owned(bus);
    std::string plain = withoutGuid(address);
    r = sd_bus_set_address(bus, plain.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_set_trusted(bus, 0);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0) {
        sd_bus_close_unref(owned.release());  // never started: nothing to flush
        return r;
    }
    *out = owned.release();
    return 0;
}

bool isBelow(std::string_view path, std::string_view parent) {
    return !parent.empty() && path.size() > parent.size() + 1 && path.substr(0, parent.size()) == parent &&
           path[parent.size()] == '/';
}

}  // namespace

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
    Authorization authorization() const { return denied_ ? kAuthorizationDenied : kAuthorizationAllowedAlways; }

    // What BlueZ (or the bus policy) refused us, one bit per kind of request, so that one
    // kind succeeding does not hide another still refused.
    enum Access : unsigned { kObjectsAccess = 1, kDiscoveryAccess = 2, kAdvertisingAccess = 4 };

    bool isBluez(std::string_view sender) const { return !owner_.empty() && sender == owner_; }
    void released(BluezPeripheral& peripheral);
    runtime::EventLoop& loop() { return loop_; }

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
    bool fromBluez(sd_bus_message* m) const;
    void apply(const CacheChange& change);
    void selectAdapter();
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
    void checkStall();
    void resetDiscovery();
    static int onDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStopDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    // Advertising.
    bool advertisingPossible() const;
    void advertise(BluezPeripheral& peripheral);
    void resumeAdvertising();
    void dropRegistration(BluezPeripheral& peripheral);
    static int onUnregistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onRegistered(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

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

    // Managers in creation order.
    std::vector<BluezCentral*> centrals_;
    std::vector<BluezPeripheral*> peripherals_;

    // Discovery state.
    bool discoveryActive_ = false;  // our StartDiscovery succeeded and Discovering has not fallen since
    bool discoveryAgain_ = false;   // a request came while a call was in flight
    double discoveryBackoffS_ = 0;
    bool heard_ = false;  // an advertisement arrived since discovery was (re)started
    double lastHeardS_ = 0;

    SlotPtr disconnectMatch_;
    SlotPtr ownerMatch_;
    SlotPtr addedMatch_;
    SlotPtr removedMatch_;
    SlotPtr propertiesMatch_;
    SlotPtr ownerCall_;
    SlotPtr objectsCall_;
    SlotPtr discoveryCall_;

    Alarm reconnectAlarm_;
    Alarm teardownAlarm_;
    Alarm publishAlarm_;
    Alarm retryAlarm_;
    Alarm discoveryAlarm_;
    std::unique_ptr<runtime::Timer> stallTimer_;
};

class BluezCentral final : public CentralManager {
public:
    BluezCentral(BluezBinding& binding, CentralManagerDelegate& delegate) : binding_(binding), delegate(delegate) {
        binding_.add(*this);
    }
    ~BluezCentral() override { binding_.remove(*this); }

    ManagerState state() const override { return state_; }
    void scanForPeripherals(const std::optional<std::vector<Uuid>>& services, bool) override {
        // Duplicates are always reported: the discovery filter asks BlueZ for every advertisement.
        binding_.requestScan(*this, services);
    }

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
    ManagerState state_ = kStateUnknown;
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
    BluezBinding& binding() { return binding_; }

private:
    BluezBinding& binding_;

public:
    PeripheralManagerDelegate& delegate;
    ManagerState state_ = kStateUnknown;
    bool fresh = true;
    bool reported = false;
    bool wanted = false;      // advertising was asked for
    bool registered = false;  // BlueZ accepted the registration and has not dropped it since
    bool hold = false;        // released or refused: register again only when asked, or on a new adapter/owner
    bool again = false;       // asked again while a registration was in flight
    bool quiet = false;       // a retry after an access refusal: only its success is reported
    SlotPtr call;
    AdvertisementObject object;
};

// ---------------------------------------------------------------------------------------
// Construction, managers

BluezBinding::BluezBinding(runtime::EventLoop& loop, BluezOptions options)
    : loop_(loop),
      options_(options),
      reconnectBackoffS_(options.backoffFirstS),
      retryBackoffS_(options.backoffFirstS),
      reconnectAlarm_(loop.get(), [this] { connect(); }),
      teardownAlarm_(loop.get(), [this] { connectionFailed(); }),
      publishAlarm_(loop.get(),
                    [this] {
                        for (BluezCentral* c : centrals_)
                            c->fresh = false;
                        for (BluezPeripheral* p : peripherals_)
                            p->fresh = false;
                        update();
                    }),
      retryAlarm_(loop.get(), [this] { retry(); }),
      discoveryAlarm_(loop.get(), [this] { ensureDiscovery(true); }) {
    stallTimer_ = loop_.repeating(options_.stallCheckIntervalS, [this] { checkStall(); });
    connect();
}

BluezBinding::~BluezBinding() {
    // Cancel every call and match before the connection goes.
    dropConnection();
}

void BluezBinding::add(BluezCentral& central) {
    centrals_.push_back(&central);
    publishAlarm_.arm(0);
}

void BluezBinding::remove(BluezCentral& central) {
    centrals_.erase(std::remove(centrals_.begin(), centrals_.end(), &central), centrals_.end());
}

void BluezBinding::add(BluezPeripheral& peripheral) {
    peripherals_.push_back(&peripheral);
    publishAlarm_.arm(0);
}

void BluezBinding::remove(BluezPeripheral& peripheral) {
    peripherals_.erase(std::remove(peripherals_.begin(), peripherals_.end(), &peripheral), peripherals_.end());
}

// ---------------------------------------------------------------------------------------
// Connection

void BluezBinding::connect() {
    dropConnection();
    sd_bus* raw = nullptr;
    int r = openSystemBus(&raw);
    if (r < 0) {
        connectionFailed();
        return;
    }
    bus_.reset(raw);
    try {
        pump_ = std::make_unique<BusPump>(loop_.get(), raw, options_.busQuietS);
        r = 0;
    } catch (const std::system_error& e) {
        r = -e.code().value();
    }

    // Matches go out before the owner lookup, so no change of owner or object falls between.
    sd_bus_slot* slot = nullptr;
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kLocal, kLocalPath, kLocal, "Disconnected", &onDisconnected,
                                      nullptr, this);
        disconnectMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_add_match_async(raw, &slot, kOwnerMatch, &onNameOwnerChanged, nullptr, this);
        ownerMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kBluez, "/", kObjectManager, "InterfacesAdded", &onInterfacesAdded,
                                      nullptr, this);
        addedMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(raw, &slot, kBluez, "/", kObjectManager, "InterfacesRemoved",
                                      &onInterfacesRemoved, nullptr, this);
        removedMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_add_match_async(raw, &slot, kPropertiesMatch, &onPropertiesChanged, nullptr, this);
        propertiesMatch_.reset(slot);
    }
    if (r >= 0) {
        r = sd_bus_call_method_async(raw, &slot, kBusService, kBusPath, kBusService, "GetNameOwner", &onNameOwner,
                                     this, "s", kBluez);
        ownerCall_.reset(slot);
    }
    if (r < 0)
        connectionFailed();
}

// The connection could not be made or was lost: report resetting and try again later.
void BluezBinding::connectionFailed() {
    dropConnection();
    reconnecting_ = true;
    update();
    reconnectAlarm_.arm(nextBackoff(reconnectBackoffS_));
}

void BluezBinding::dropConnection() {
    teardownAlarm_.cancel();
    disconnectMatch_.reset();
    ownerMatch_.reset();
    addedMatch_.reset();
    removedMatch_.reset();
    propertiesMatch_.reset();
    ownerCall_.reset();
    ownerKnown_ = false;
    owner_.clear();
    forgetBluez();
    for (BluezPeripheral* p : peripherals_)
        p->object.withdraw();
    pump_.reset();
    bus_.reset();
}

int BluezBinding::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    // Not torn down here: the connection is still dispatching this message.
    static_cast<BluezBinding*>(userdata)->teardownAlarm_.arm(0);
    return 0;
}

double BluezBinding::nextBackoff(double& backoff) const {
    double now = backoff;
    backoff = std::min(std::max(backoff * 2, options_.backoffFirstS), options_.backoffMaxS);
    return now;
}

// ---------------------------------------------------------------------------------------
// Owner and objects

int BluezBinding::onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->ownerCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (e && !isError(e, kNameHasNoOwner) && !sd_bus_is_open(self->bus_.get()))
            return 0;  // the connection is going; its Disconnected follows
        const char* owner = "";
        if (!e && sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &owner) <= 0)
            owner = "";
        // The bus answered: the connection works.
        self->reconnecting_ = false;
        self->reconnectBackoffS_ = self->options_.backoffFirstS;
        self->setOwner(owner);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        const char* sender = sd_bus_message_get_sender(m);
        if (!sender || std::strcmp(sender, kBusService) != 0)
            return 0;
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || std::strcmp(name, kBluez) != 0)
            return 0;
        self->reconnecting_ = false;
        self->setOwner(newOwner);
    } catch (...) {
    }
    return 0;
}

// A new owner (or none): nothing the old one told us holds any more.
void BluezBinding::setOwner(std::string owner) {
    if (ownerKnown_ && owner == owner_)
        return;
    forgetBluez();
    ownerKnown_ = true;
    owner_ = std::move(owner);
    if (!owner_.empty()) {
        hadOwner_ = true;
        fetchObjects();
    }
    update();
}

void BluezBinding::forgetBluez() {
    objectsCall_.reset();
    objectsKnown_ = false;
    denied_ = 0;
    retryAlarm_.cancel();
    retryBackoffS_ = options_.backoffFirstS;
    cache_.clear();
    adapterPath_.clear();
    resetDiscovery();
    for (BluezPeripheral* p : peripherals_)
        dropRegistration(*p);
}

void BluezBinding::fetchObjects() {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_method_async(bus_.get(), &slot, owner_.c_str(), "/", kObjectManager, "GetManagedObjects",
                                     &onObjects, this, "");
    if (r < 0) {
        retryAlarm_.arm(nextBackoff(retryBackoffS_));
        return;
    }
    objectsCall_.reset(slot);
}

int BluezBinding::onObjects(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->objectsCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (isAccessRefusal(e)) {
            self->refused(kObjectsAccess);
            return 0;
        }
        if (e || self->cache_.load(m) < 0) {
            self->cache_.clear();
            self->retryAlarm_.arm(self->nextBackoff(self->retryBackoffS_));
            return 0;
        }
        self->objectsKnown_ = true;
        self->retryBackoffS_ = self->options_.backoffFirstS;
        self->selectAdapter();
        self->accepted(kObjectsAccess);
        self->update();
    } catch (...) {
    }
    return 0;
}

bool BluezBinding::fromBluez(sd_bus_message* m) const {
    const char* sender = sd_bus_message_get_sender(m);
    return sender && isBluez(sender);
}

int BluezBinding::onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        if (!self->fromBluez(m))
            return 0;
        CacheChange change;
        // A malformed message still applies what was read before the fault.
        self->cache_.interfacesAdded(m, change);
        self->apply(change);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        if (!self->fromBluez(m))
            return 0;
        CacheChange change;
        self->cache_.interfacesRemoved(m, change);
        self->apply(change);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        if (!self->fromBluez(m))
            return 0;
        CacheChange change;
        self->cache_.propertiesChanged(m, change);
        self->apply(change);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::apply(const CacheChange& change) {
    // The device pointer is only good until the cache changes again, so it goes first.
    if (change.device)
        deliver(change.devicePath, *change.device);
    if (change.adapters) {
        selectAdapter();
        update();
    }
    if (change.discoveringStopped && change.discoveringAdapter == adapterPath_)
        discoveryStopped();
}

void BluezBinding::selectAdapter() {
    std::string next = adapterPath_;
    if (next.empty() || !cache_.adapter(next))
        next = cache_.adapters().empty() ? std::string() : cache_.adapters().begin()->first;
    if (next == adapterPath_)
        return;
    adapterPath_ = std::move(next);
    // Nothing set up on the old adapter carries over.
    resetDiscovery();
    for (BluezPeripheral* p : peripherals_)
        dropRegistration(*p);
}

const AdapterProperties* BluezBinding::currentAdapter() const {
    return adapterPath_.empty() ? nullptr : cache_.adapter(adapterPath_);
}

// ---------------------------------------------------------------------------------------
// Refusals and retries

void BluezBinding::refused(Access what) {
    retryAlarm_.arm(nextBackoff(retryBackoffS_));
    unsigned before = denied_;
    denied_ |= what;
    if (!before)
        update();
}

void BluezBinding::accepted(Access what) {
    if (!(denied_ & what))
        return;
    denied_ &= ~static_cast<unsigned>(what);
    if (!denied_) {
        retryBackoffS_ = options_.backoffFirstS;
        retryAlarm_.cancel();
        update();
    }
}

// After a refusal or a failed call: ask again for whatever is still missing.
void BluezBinding::retry() {
    if (!bus_ || owner_.empty())
        return;
    if (!objectsKnown_) {
        if (!objectsCall_)
            fetchObjects();
        return;
    }
    if (!discoveryActive_)
        ensureDiscovery(true);
    // Registrations refused for access are tried again too, but quietly: the refusal was
    // reported already, and the unauthorized state says the rest.
    if (denied_ & kAdvertisingAccess) {
        for (BluezPeripheral* p : peripherals_) {
            if (p->wanted && !p->registered && !p->hold && !p->call) {
                p->quiet = true;
                advertise(*p);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// States

std::optional<ManagerState> BluezBinding::centralState() const {
    if (!bus_)
        return kStateResetting;
    if (!ownerKnown_)
        return reconnecting_ ? std::optional<ManagerState>(kStateResetting) : std::nullopt;
    if (owner_.empty())
        return hadOwner_ ? kStateResetting : kStateUnsupported;
    if (denied_)
        return kStateUnauthorized;
    if (!objectsKnown_)
        return std::nullopt;  // BlueZ has not answered yet: what was reported stands
    const AdapterProperties* adapter = currentAdapter();
    if (!adapter)
        return kStateUnsupported;
    return adapter->powered.value_or(false) ? kStatePoweredOn : kStatePoweredOff;
}

ManagerState BluezBinding::peripheralState(ManagerState central) const {
    if ((central == kStatePoweredOn || central == kStatePoweredOff) && !cache_.hasAdvertisingManager(adapterPath_))
        return kStateUnsupported;
    return central;
}

// After anything that can change a state: power-off ends scan requests, states are
// reported, and discovery and advertising are resumed where they are wanted.
void BluezBinding::update() {
    if (const AdapterProperties* adapter = currentAdapter(); adapter && !adapter->powered.value_or(false)) {
        for (BluezCentral* c : centrals_)
            c->scanning = false;
        discoveryActive_ = false;
    }
    publishStates();
    ensureDiscovery(false);
    resumeAdvertising();
}

void BluezBinding::publishStates() {
    std::optional<ManagerState> central = centralState();
    if (!central)
        return;
    ManagerState peripheral = peripheralState(*central);
    // A delegate may scan, advertise, or make or drop managers from inside its report, so
    // the list is searched again after each one.
    for (;;) {
        auto it = std::find_if(centrals_.begin(), centrals_.end(), [&](const BluezCentral* c) {
            return !c->fresh && (!c->reported || c->state_ != *central);
        });
        if (it == centrals_.end())
            break;
        BluezCentral& c = **it;
        c.reported = true;
        c.state_ = *central;
        c.delegate.centralManagerDidUpdateState(c);
    }
    for (;;) {
        auto it = std::find_if(peripherals_.begin(), peripherals_.end(), [&](const BluezPeripheral* p) {
            return !p->fresh && (!p->reported || p->state_ != peripheral);
        });
        if (it == peripherals_.end())
            break;
        BluezPeripheral& p = **it;
        p.reported = true;
        p.state_ = peripheral;
        p.delegate.peripheralManagerDidUpdateState(p);
    }
}

// ---------------------------------------------------------------------------------------
// Discovery

bool BluezBinding::scanWanted() const {
    return std::any_of(centrals_.begin(), centrals_.end(), [](const BluezCentral* c) { return c->scanning; });
}

bool BluezBinding::discoveryPossible() const {
    const AdapterProperties* adapter = currentAdapter();
    return bus_ && !owner_.empty() && objectsKnown_ && adapter && adapter->powered.value_or(false);
}

void BluezBinding::requestScan(BluezCentral& central, const std::optional<std::vector<Uuid>>& services) {
    central.scanning = true;
    central.services = services.value_or(std::vector<Uuid>{});
    ensureDiscovery(true);
}

// requested: a scan request or a restart, which sets the filter and starts discovery even
// when it is already running (the filter may have changed; InProgress is harmless).
// Otherwise discovery is only started when it is not running and no retry is pending.
void BluezBinding::ensureDiscovery(bool requested) {
    if (!scanWanted() || !discoveryPossible())
        return;
    if (discoveryCall_) {
        discoveryAgain_ = discoveryAgain_ || requested;
        return;
    }
    bool retryPending = discoveryAlarm_.armed() || ((denied_ & kDiscoveryAccess) && retryAlarm_.armed());
    if (!requested && (discoveryActive_ || retryPending))
        return;
    discoveryAlarm_.cancel();
    sendDiscoveryFilter();
}

void BluezBinding::sendDiscoveryFilter() {
    // UUIDs only when every scan asked for services: BlueZ would drop everything else.
    std::vector<Uuid> uuids;
    bool filterUuids = true;
    for (const BluezCentral* c : centrals_) {
        if (!c->scanning)
            continue;
        if (c->services.empty()) {
            filterUuids = false;
            break;
        }
        for (const Uuid& u : c->services)
            if (std::find(uuids.begin(), uuids.end(), u) == uuids.end())
                uuids.push_back(u);
    }

    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &raw, owner_.c_str(), adapterPath_.c_str(), kAdapterInterface,
                                           "SetDiscoveryFilter");
    if (r < 0)
        return;
    MessagePtr m(raw);
    r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_ARRAY, "{sv}");
    // RSSI must be a 16-bit integer: BlueZ refuses the filter otherwise.
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "Transport", "s", "le");
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "DuplicateData", "b", 1);
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "RSSI", "n", kFilterRssi);
    if (r >= 0 && filterUuids && !uuids.empty()) {
        r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0)
            r = sd_bus_message_append(m.get(), "s", "UUIDs");
        if (r >= 0)
            r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_VARIANT, "as");
        if (r >= 0)
            r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_ARRAY, "s");
        for (const Uuid& u : uuids)
            if (r >= 0)
                r = sd_bus_message_append(m.get(), "s", u.canonical().c_str());
        for (int i = 0; i < 3 && r >= 0; ++i)
            r = sd_bus_message_close_container(m.get());
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m.get());
    sd_bus_slot* slot = nullptr;
    if (r >= 0)
        r = sd_bus_call_async(bus_.get(), &slot, m.get(), &onDiscoveryFilter, this, 0);
    if (r < 0) {
        discoveryAlarm_.arm(nextBackoff(discoveryBackoffS_));
        return;
    }
    discoveryCall_.reset(slot);
}

int BluezBinding::onDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (isAccessRefusal(e)) {
            self->discoveryAgain_ = false;
            self->refused(kDiscoveryAccess);
            return 0;
        }
        if (isError(e, kNotReady)) {
            // The adapter is off: its power-on brings a new request. If it only seemed on to
            // us (Powered not yet signalled), try again shortly.
            self->discoveryAgain_ = false;
            self->retryDiscoveryIfPossible();
            return 0;
        }
        // Any other refusal of the filter still leaves discovery worth starting: without the
        // filter BlueZ reports fewer advertisements, but it reports them.
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_call_method_async(self->bus_.get(), &slot, self->owner_.c_str(), self->adapterPath_.c_str(),
                                         kAdapterInterface, "StartDiscovery", &onStartDiscovery, self, "");
        if (r < 0) {
            self->discoveryAlarm_.arm(self->nextBackoff(self->discoveryBackoffS_));
            return 0;
        }
        self->discoveryCall_.reset(slot);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (!e || isError(e, kInProgress)) {
            if (!self->discoveryActive_) {
                self->discoveryActive_ = true;
                self->heard_ = false;
            }
            self->accepted(kDiscoveryAccess);
        } else if (isAccessRefusal(e)) {
            self->discoveryAgain_ = false;
            self->refused(kDiscoveryAccess);
            return 0;
        } else if (isError(e, kNotReady)) {
            self->discoveryAgain_ = false;
            self->retryDiscoveryIfPossible();
            return 0;
        } else {
            self->discoveryAgain_ = false;
            self->discoveryAlarm_.arm(self->nextBackoff(self->discoveryBackoffS_));
            return 0;
        }
        if (std::exchange(self->discoveryAgain_, false))
            self->ensureDiscovery(true);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::retryDiscoveryIfPossible() {
    if (scanWanted() && discoveryPossible())
        discoveryAlarm_.arm(std::max(nextBackoff(discoveryBackoffS_), options_.backoffFirstS));
}

// Discovering fell on the adapter in use while we wanted it: start again, at once the
// first time and with a growing delay if it keeps falling without anything heard.
void BluezBinding::discoveryStopped() {
    discoveryActive_ = false;
    if (!scanWanted() || discoveryCall_)
        return;
    double delay = nextBackoff(discoveryBackoffS_);
    if (delay <= 0)
        ensureDiscovery(true);
    else
        discoveryAlarm_.arm(delay);
}

// Some controllers stop reporting while BlueZ still shows Discovering; only a real stop
// and start brings them back (starting again alone answers InProgress and changes nothing).
void BluezBinding::checkStall() {
    if (!discoveryActive_ || !heard_ || discoveryCall_ || !scanWanted() || !discoveryPossible())
        return;
    if (loop_.monotonicNow() - lastHeardS_ < options_.stallS)
        return;
    heard_ = false;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_method_async(bus_.get(), &slot, owner_.c_str(), adapterPath_.c_str(), kAdapterInterface,
                                     "StopDiscovery", &onStopDiscovery, this, "");
    if (r >= 0)
        discoveryCall_.reset(slot);
}

int BluezBinding::onStopDiscovery(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        // Whatever the answer, the filter goes first: stopping dropped it.
        self->discoveryActive_ = false;
        self->discoveryAgain_ = false;
        self->ensureDiscovery(true);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::resetDiscovery() {
    discoveryCall_.reset();
    discoveryAlarm_.cancel();
    discoveryActive_ = false;
    discoveryAgain_ = false;
    discoveryBackoffS_ = 0;
    heard_ = false;
}

// ---------------------------------------------------------------------------------------
// Advertising

bool BluezBinding::advertisingPossible() const {
    return bus_ && !owner_.empty() && objectsKnown_ && currentAdapter() && cache_.hasAdvertisingManager(adapterPath_);
}

void BluezBinding::requestAdvertising(BluezPeripheral& peripheral, const AdvertisingData& data) {
    peripheral.wanted = true;
    peripheral.hold = false;
    peripheral.quiet = false;
    peripheral.object.setData(data);
    advertise(peripheral);
}

// Unregister first (BlueZ may still hold our path from before a power cycle), then register.
void BluezBinding::advertise(BluezPeripheral& p) {
    if (!advertisingPossible())
        return;  // still wanted: taken up when the adapter is back
    if (p.call) {
        p.again = true;
        return;
    }
    if (p.object.exportOn(bus_.get()) < 0)
        return;
    p.registered = false;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_method_async(bus_.get(), &slot, owner_.c_str(), adapterPath_.c_str(),
                                     kAdvertisingManagerInterface, "UnregisterAdvertisement", &onUnregistered, &p, "o",
                                     p.object.path().c_str());
    if (r >= 0)
        p.call.reset(slot);
}

int BluezBinding::onUnregistered(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    BluezBinding& self = p.binding();
    try {
        p.call.reset();
        if (!sd_bus_is_open(self.bus_.get()))
            return 0;  // the connection is going; a new one starts over
        // DoesNotExist is the usual answer; any other one is no reason not to try registering.
        sd_bus_message* raw = nullptr;
        int r = sd_bus_message_new_method_call(self.bus_.get(), &raw, self.owner_.c_str(), self.adapterPath_.c_str(),
                                               kAdvertisingManagerInterface, "RegisterAdvertisement");
        if (r < 0)
            return 0;
        MessagePtr m(raw);
        r = sd_bus_message_append(m.get(), "oa{sv}", p.object.path().c_str(), 0);
        sd_bus_slot* slot = nullptr;
        // BlueZ reads our object back over this same connection before it answers, which is
        // why this call must never block the loop.
        if (r >= 0)
            r = sd_bus_call_async(self.bus_.get(), &slot, m.get(), &onRegistered, &p, 0);
        if (r >= 0)
            p.call.reset(slot);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    BluezBinding& self = p.binding();
    try {
        p.call.reset();
        if (!sd_bus_is_open(self.bus_.get()))
            return 0;  // no answer from BlueZ, only the end of the connection
        const sd_bus_error* e = replyError(m);
        std::optional<std::string> error;
        bool deniedNow = false;
        if (e) {
            error = (e->message && *e->message) ? e->message : (e->name ? e->name : "refused");
            // BlueZ's NotPermitted here means "Maximum advertisements reached", not a refusal of access.
            deniedNow = isError(e, kAccessDenied);
            // Asked again only by the next request, unless access comes back (see retry).
            p.hold = !deniedNow;
        } else {
            p.registered = true;
        }
        bool report = !(e && p.quiet);
        p.quiet = false;
        if (std::exchange(p.again, false))
            self.advertise(p);
        // The outcome goes last: the delegate may drop its manager, p included.
        if (report)
            p.delegate.peripheralManagerDidStartAdvertising(p, error);
        if (deniedNow)
            self.refused(kAdvertisingAccess);
        else if (!e)
            self.accepted(kAdvertisingAccess);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::resumeAdvertising() {
    if (!advertisingPossible())
        return;
    std::optional<ManagerState> central = centralState();
    if (!central || peripheralState(*central) != kStatePoweredOn)
        return;
    for (BluezPeripheral* p : peripherals_)
        if (p->wanted && !p->registered && !p->hold && !p->call)
            advertise(*p);
}

void BluezBinding::dropRegistration(BluezPeripheral& p) {
    p.call.reset();
    p.registered = false;
    p.hold = false;
    p.again = false;
    p.quiet = false;
}

void BluezBinding::released(BluezPeripheral& p) {
    p.registered = false;
    p.hold = true;
}

// ---------------------------------------------------------------------------------------
// Reports

void BluezBinding::deliver(std::string_view path, DeviceProperties& device) {
    if (!isBelow(path, adapterPath_) || !device.identifier || !device.rssi)
        return;
    heard_ = true;
    lastHeardS_ = loop_.monotonicNow();
    discoveryBackoffS_ = 0;
    // Exactly one manager takes each advertisement, so a device is not counted twice.
    for (BluezCentral* c : centrals_) {
        if (!c->scanning || !c->accepts(device.advertisement.serviceUuids))
            continue;
        device.advertisement.identifier = *device.identifier;
        device.advertisement.rssi = *device.rssi;
        c->delegate.centralManagerDidDiscover(*c, device.advertisement);
        return;
    }
}

// ---------------------------------------------------------------------------------------
// BluezPlatform

BluezPlatform::BluezPlatform(runtime::EventLoop& loop, BluezOptions options)
    : binding_(std::make_unique<BluezBinding>(loop, options)) {}

BluezPlatform::~BluezPlatform() = default;

std::unique_ptr<CentralManager> BluezPlatform::makeCentralManager(CentralManagerDelegate& delegate) {
    return std::make_unique<BluezCentral>(*binding_, delegate);
}

std::unique_ptr<PeripheralManager> BluezPlatform::makePeripheralManager(PeripheralManagerDelegate& delegate) {
    static unsigned next = 0;
    return std::make_unique<BluezPeripheral>(*binding_, delegate, "/org/brelo/advertisement" + std::to_string(next++));
}

Authorization BluezPlatform::authorization() const { return binding_->authorization(); }

}  // namespace brelo::bluetooth::bluez
