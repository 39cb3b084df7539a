#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {
namespace {


bool isBelow(std::string_view path, std::string_view parent) {
    return !parent.empty() && path.size() > parent.size() + 1 && path.substr(0, parent.size()) == parent &&
           path[parent.size()] == '/';
}

}  // namespace

void BluezBinding::fetchObjects() {
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, "/", kObjectManager, "GetManagedObjects", &onObjects, this);
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
        self->settleLater();
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

// The object manager's signals, from bluetoothd only, into the cache, then acted on. A
// malformed message still applies what was read before the fault.
int BluezBinding::applySignal(sd_bus_message* m, void* userdata, CacheReader read) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        if (!self->fromBluez(m))
            return 0;
        CacheChange change;
        (self->cache_.*read)(m, change);
        self->apply(change);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::interfacesAdded);
}

int BluezBinding::onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::interfacesRemoved);
}

int BluezBinding::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::propertiesChanged);
}

void BluezBinding::apply(const CacheChange& change) {
    // The device pointer is only good until the cache changes again, so it goes first.
    if (change.device)
        deliver(change.devicePath, *change.device);
    if (change.adapters) {
        settleLater();
        selectAdapter();
        update();
    }
    if (change.discoveringStopped && change.discoveringAdapter == adapterPath_)
        discoveryStopped();
}

// While bluetoothd is still publishing its adapters only the one used before is taken (at
// once); otherwise the lowest index wins once the tree has settled, and is kept while it exists.
void BluezBinding::selectAdapter() {
    std::string next = adapterPath_;
    if (!next.empty() && !cache_.adapter(next)) {
        // bluetoothd removes its adapters before leaving the bus: give it a moment to go,
        // so that a restart reads as resetting and the adapter is taken again when back.
        // When adapters go one after the other, the first one lost is the one to come back to.
        if (!graceAlarm_.armed()) {
            lostAdapter_ = next;
            graceAlarm_.arm(options_.adapterGraceS);
        }
        next.clear();
    }
    if (next.empty()) {
        if (!settled_ && !preferred_.empty() && cache_.adapter(preferred_)) {
            next = preferred_;
            settled_ = true;
            settleAlarm_.cancel();
        } else if (settled_ && !cache_.adapters().empty()) {
            next = cache_.adapters().begin()->first;
        }
    }
    if (next == adapterPath_)
        return;
    adapterPath_ = std::move(next);
    // Nothing set up on the old adapter carries over.
    resetDiscovery();
    resetMonitor();
    for (BluezPeripheral* p : peripherals_)
        dropRegistration(*p);
}

// Arms the wait for bluetoothd's adapters: short once one is known, long while none is.
void BluezBinding::settleLater() {
    if (settled_ || !objectsKnown_)
        return;
    bool any = !cache_.adapters().empty();
    if (settleAlarm_.armed() && (settleShort_ || !any))
        return;
    settleShort_ = any;
    settleAlarm_.arm(any ? options_.adapterSettleS : options_.adapterWaitS);
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
        return ManagerState::resetting;
    if (!ownerKnown_)
        return reconnecting_ ? std::optional<ManagerState>(ManagerState::resetting) : std::nullopt;
    if (owner_.empty())
        return hadOwner_ ? ManagerState::resetting : ManagerState::unsupported;
    if (denied_)
        return ManagerState::unauthorized;
    if (!objectsKnown_)
        return std::nullopt;  // BlueZ has not answered yet: what was reported stands
    const AdapterProperties* adapter = currentAdapter();
    // Still publishing its adapters, or perhaps shutting down: what was reported stands.
    if (!adapter && (!settled_ || graceAlarm_.armed()))
        return std::nullopt;
    if (!adapter)
        return ManagerState::unsupported;
    return adapter->powered.value_or(false) ? ManagerState::poweredOn : ManagerState::poweredOff;
}

ManagerState BluezBinding::peripheralState(ManagerState central) const {
    if ((central == ManagerState::poweredOn || central == ManagerState::poweredOff) && !cache_.hasAdvertisingManager(adapterPath_))
        return ManagerState::unsupported;
    return central;
}

// After anything that can change a state: power-off ends scan requests, states are
// reported, and discovery and advertising are resumed where they are wanted.
void BluezBinding::update() {
    if (const AdapterProperties* adapter = currentAdapter(); adapter && !adapter->powered.value_or(false)) {
        for (BluezCentral* c : centrals_)
            c->scanning = false;
        discoveryActive_ = false;
        // Off by someone else's hand: what was heard before says nothing about the radio.
        if (powerCycle_ == PowerCycle::None)
            radio_.reset();
    }
    // Scan requests made by the delegates wait until every manager has had its report, so
    // that the beacon's registration goes out before discovery starts: a 4.x controller
    // refuses a new advertisement while it scans.
    ++publishing_;
    publishStates();
    --publishing_;
    if (publishing_)
        return;
    resumeAdvertising();
    ensureMonitor();
    ensureDiscovery(std::exchange(scanDeferred_, false));
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
// Reports

void BluezBinding::deliver(std::string_view path, DeviceProperties& device) {
    if (!isBelow(path, adapterPath_) || !device.identifier || !device.rssi)
        return;
    reportedThisScan_ = true;
    radio_.heard(loop_.monotonicNow());
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

}  // namespace brelo::bluetooth::bluez
