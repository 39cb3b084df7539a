#pragma once

#include <string>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/adapter_choice.h"
#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/bluez/object_cache.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// BlueZ's objects as its current owner publishes them, kept up to date by its signals, and
// the adapter in use among them (AdapterChoice).
class BluezObjects {
public:
    explicit BluezObjects(BluezBinding& binding);

    // Asks the owner for everything (GetManagedObjects).
    void fetch();
    bool known() const { return known_; }
    bool fetching() const { return call_ != nullptr; }
    // A new owner or none: nothing known holds; the adapter in use is taken again when back.
    void forget();

    const ObjectCache& cache() const { return cache_; }
    const std::string& adapterPath() const { return choice_.path(); }
    std::string adapterName() const { return adapterPath().substr(adapterPath().rfind('/') + 1); }
    const AdapterProperties* adapter() const;
    bool poweredOn() const;
    // No adapter in use, but bluetoothd is still publishing its adapters or perhaps leaving:
    // what was reported stands.
    bool waitingForAdapters() const { return !adapter() && choice_.waiting(); }

    static int onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

private:
    using CacheReader = int (ObjectCache::*)(sd_bus_message*, CacheChange&);
    static int applySignal(sd_bus_message* m, void* userdata, CacheReader read) noexcept;
    static int onObjects(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    void apply(const CacheChange& change);

    BluezBinding& binding_;
    ObjectCache cache_;
    bool known_ = false;
    SlotPtr call_;
    AdapterChoice choice_;
};

}  // namespace brelo::bluetooth::bluez
