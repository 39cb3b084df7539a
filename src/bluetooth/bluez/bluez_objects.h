#pragma once

#include <string>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/bluez/object_cache.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// BlueZ's objects as its current owner publishes them, and the adapter in use: the one used
// before while bluetoothd is still publishing its adapters, otherwise the lowest index once
// the tree has settled, kept while it exists.
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
    const std::string& adapterPath() const { return adapterPath_; }
    std::string adapterName() const { return adapterPath_.substr(adapterPath_.rfind('/') + 1); }
    const AdapterProperties* adapter() const;
    bool poweredOn() const;
    // No adapter in use, but bluetoothd is still publishing its adapters or perhaps leaving:
    // what was reported stands.
    bool waitingForAdapters() const;

    static int onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

private:
    using CacheReader = int (ObjectCache::*)(sd_bus_message*, CacheChange&);
    static int applySignal(sd_bus_message* m, void* userdata, CacheReader read) noexcept;
    static int onObjects(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    void apply(const CacheChange& change);
    void selectAdapter();
    void settleLater();

    BluezBinding& binding_;
    ObjectCache cache_;
    bool known_ = false;
    SlotPtr call_;
    std::string adapterPath_;
    // The choice of adapter waits until bluetoothd has published its adapters (one at a
    // time, after it takes its name), unless the one used before is back.
    bool settled_ = false;
    bool settleShort_ = false;  // an adapter was seen: the short settle is armed
    std::string preferred_;     // the adapter in use before BlueZ went away, taken again when back
    std::string lostAdapter_;   // the adapter in use that disappeared, while its grace runs
    runtime::Alarm settleAlarm_;
    runtime::Alarm graceAlarm_;
};

}  // namespace brelo::bluetooth::bluez
