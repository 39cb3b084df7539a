#include "bluetooth/bluez/bluez_objects.h"

#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

BluezObjects::BluezObjects(BluezBinding& binding)
    : binding_(binding),
      settleAlarm_(binding.loop,
                   [this] {
                       settled_ = true;
                       selectAdapter();
                       binding_.managers.update();
                   }),
      graceAlarm_(binding.loop, [this] {
          selectAdapter();
          binding_.managers.update();
      }) {}

void BluezObjects::fetch() {
    const BusConnection& c = binding_.connection;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.owner(), "/", kObjectManager, "GetManagedObjects", &onObjects, this);
    if (r < 0) {
        binding_.access.retryLater();
        return;
    }
    call_.reset(slot);
}

void BluezObjects::forget() {
    if (graceAlarm_.armed())
        preferred_ = lostAdapter_;
    else if (!adapterPath_.empty())
        preferred_ = adapterPath_;
    graceAlarm_.cancel();
    settleAlarm_.cancel();
    settled_ = false;
    settleShort_ = false;
    call_.reset();
    known_ = false;
    cache_.clear();
    adapterPath_.clear();
}

const AdapterProperties* BluezObjects::adapter() const {
    return adapterPath_.empty() ? nullptr : cache_.adapter(adapterPath_);
}

bool BluezObjects::poweredOn() const {
    const AdapterProperties* a = adapter();
    return a && a->powered.value_or(false);
}

bool BluezObjects::waitingForAdapters() const { return !adapter() && (!settled_ || graceAlarm_.armed()); }

int BluezObjects::onObjects(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezObjects*>(userdata);
    try {
        self->call_.reset();
        const sd_bus_error* e = replyError(m);
        if (isAccessRefusal(e)) {
            self->binding_.access.refused(Access::objects);
            return 0;
        }
        if (e || self->cache_.load(m) < 0) {
            self->cache_.clear();
            self->binding_.access.retryLater();
            return 0;
        }
        self->known_ = true;
        self->binding_.access.answered();
        self->settleLater();
        self->selectAdapter();
        self->binding_.access.accepted(Access::objects);
        self->binding_.managers.update();
    } catch (...) {
    }
    return 0;
}

// The object manager's signals, from bluetoothd only, into the cache, then acted on. A
// malformed message still applies what was read before the fault.
int BluezObjects::applySignal(sd_bus_message* m, void* userdata, CacheReader read) noexcept {
    auto* self = static_cast<BluezObjects*>(userdata);
    try {
        if (!self->binding_.connection.fromBluez(m))
            return 0;
        CacheChange change;
        (self->cache_.*read)(m, change);
        self->apply(change);
    } catch (...) {
    }
    return 0;
}

int BluezObjects::onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::interfacesAdded);
}

int BluezObjects::onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::interfacesRemoved);
}

int BluezObjects::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    return applySignal(m, userdata, &ObjectCache::propertiesChanged);
}

void BluezObjects::apply(const CacheChange& change) {
    // The device pointer is only good until the cache changes again, so it goes first.
    if (change.device)
        binding_.managers.deliver(change.devicePath, *change.device);
    if (change.adapters) {
        settleLater();
        selectAdapter();
        binding_.managers.update();
    }
    if (change.discoveringStopped && change.discoveringAdapter == adapterPath_)
        binding_.discovery.stopped();
}

void BluezObjects::selectAdapter() {
    std::string next = adapterPath_;
    if (!next.empty() && !cache_.adapter(next)) {
        // bluetoothd removes its adapters before leaving the bus: give it a moment to go,
        // so that a restart reads as resetting and the adapter is taken again when back.
        // When adapters go one after the other, the first one lost is the one to come back to.
        if (!graceAlarm_.armed()) {
            lostAdapter_ = next;
            graceAlarm_.arm(binding_.options.adapterGraceS);
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
    binding_.adapterChanged();
}

// Arms the wait for bluetoothd's adapters: short once one is known, long while none is.
void BluezObjects::settleLater() {
    if (settled_ || !known_)
        return;
    bool any = !cache_.adapters().empty();
    if (settleAlarm_.armed() && (settleShort_ || !any))
        return;
    settleShort_ = any;
    settleAlarm_.arm(any ? binding_.options.adapterSettleS : binding_.options.adapterWaitS);
}

}  // namespace brelo::bluetooth::bluez
