#include "bluetooth/bluez/bluez_objects.h"

#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

BluezObjects::BluezObjects(BluezBinding& binding) : binding_(binding), choice_(binding) {}

void BluezObjects::fetch() {
    const BusConnection& c = binding_.connection;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), "/", kObjectManager, "GetManagedObjects", &onObjects, this);
    if (r < 0) {
        binding_.access.retryLater();
        return;
    }
    call_.reset(slot);
}

void BluezObjects::forget() {
    choice_.forget();
    call_.reset();
    known_ = false;
    cache_.clear();
}

const AdapterProperties* BluezObjects::adapter() const {
    return adapterPath().empty() ? nullptr : cache_.adapter(adapterPath());
}

bool BluezObjects::poweredOn() const {
    const AdapterProperties* a = adapter();
    return a && a->powered.value_or(false);
}

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
        self->choice_.settleLater();
        self->choice_.choose();
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
        if (!self->binding_.connection.bluez().sent(m))
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
        choice_.settleLater();
        choice_.choose();
        binding_.managers.update();
    }
    if (change.discoveringStopped && change.discoveringAdapter == adapterPath())
        binding_.discovery.stopped();
}

}  // namespace brelo::bluetooth::bluez
