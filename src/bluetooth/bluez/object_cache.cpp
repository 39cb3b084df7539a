#include "bluetooth/bluez/object_cache.h"

#include "bluetooth/bluez/bus_reader.h"

namespace brelo::bluetooth::bluez {
namespace {

enum AdapterProperty : unsigned {
    kAdapterPowered = 1u << 0,
    kAdapterDiscovering = 1u << 1,
};

constexpr PropertyTable<AdapterProperties, 2> kAdapterTable = {{
    {"Powered", [](sd_bus_message* m, AdapterProperties& a) { return readVariantBool(m, a.powered); },
     [](AdapterProperties& a) { a.powered.reset(); }},
    {"Discovering", [](sd_bus_message* m, AdapterProperties& a) { return readVariantBool(m, a.discovering); },
     [](AdapterProperties& a) { a.discovering.reset(); }},
}};

int readObjectPath(sd_bus_message* m, std::string_view& path) {
    const char* raw = nullptr;
    int r = sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &raw);
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    path = raw;
    return 0;
}

}  // namespace

bool isBelow(std::string_view path, std::string_view parent) {
    return !parent.empty() && path.size() > parent.size() + 1 && path.substr(0, parent.size()) == parent &&
           path[parent.size()] == '/';
}

void ObjectCache::clear() {
    adapters_.clear();
    advertisingManagers_.clear();
    monitorManagers_.clear();
    devices_.clear();
}

const AdapterProperties* ObjectCache::adapter(std::string_view path) const {
    auto it = adapters_.find(path);
    return it == adapters_.end() ? nullptr : &it->second;
}

bool ObjectCache::hasAdvertisingManager(std::string_view path) const {
    return advertisingManagers_.find(path) != advertisingManagers_.end();
}

bool ObjectCache::hasMonitorManager(std::string_view path) const {
    return monitorManagers_.find(path) != monitorManagers_.end();
}

DeviceProperties* ObjectCache::device(std::string_view path) {
    auto it = devices_.find(path);
    return it == devices_.end() ? nullptr : &it->second;
}

void ObjectCache::removeAdapter(std::string_view path) {
    if (auto it = adapters_.find(path); it != adapters_.end())
        adapters_.erase(it);
    // BlueZ removes an adapter's devices one by one as well; this only makes sure none
    // outlives its adapter here if a signal was missed.
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (isBelow(it->first, path))
            it = devices_.erase(it);
        else
            ++it;
    }
}

int ObjectCache::readInterfaces(sd_bus_message* m, std::string_view path, CacheChange* change) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    for (;;) {
        r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}");
        if (r < 0)
            return r;
        if (r == 0)
            break;
        const char* interface = nullptr;
        r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface);
        if (r <= 0)
            return r < 0 ? r : -EBADMSG;
        std::string_view name(interface);
        if (name == kDeviceInterface) {
            auto it = devices_.find(path);
            if (it == devices_.end() && devices_.size() >= maxDevices_) {
                r = sd_bus_message_skip(m, "a{sv}");
            } else {
                if (it == devices_.end())
                    it = devices_.emplace(std::string(path), DeviceProperties{}).first;
                else
                    it->second = DeviceProperties{};
                r = readDeviceProperties(m, it->second);
                if (r >= 0 && change && (r & kDeviceRssi) && it->second.rssi) {
                    change->device = &it->second;
                    change->devicePath = path;
                }
            }
        } else if (name == kAdapterInterface) {
            auto it = adapters_.find(path);
            if (it == adapters_.end())
                it = adapters_.emplace(std::string(path), AdapterProperties{}).first;
            else
                it->second = AdapterProperties{};
            r = readProperties(m, it->second, kAdapterTable);
            if (change)
                change->adapters = true;
        } else if (name == kAdvertisingManagerInterface || name == kMonitorManagerInterface) {
            (name == kAdvertisingManagerInterface ? advertisingManagers_ : monitorManagers_).emplace(path);
            r = sd_bus_message_skip(m, "a{sv}");
            if (change)
                change->adapters = true;
        } else {
            r = sd_bus_message_skip(m, "a{sv}");
        }
        if (r < 0)
            return r;
        r = sd_bus_message_exit_container(m);
        if (r < 0)
            return r;
    }
    return sd_bus_message_exit_container(m);
}

int ObjectCache::load(sd_bus_message* reply) {
    clear();
    int r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    for (;;) {
        r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}");
        if (r < 0)
            return r;
        if (r == 0)
            break;
        std::string_view path;
        r = readObjectPath(reply, path);
        if (r < 0)
            return r;
        r = readInterfaces(reply, path, nullptr);
        if (r < 0)
            return r;
        r = sd_bus_message_exit_container(reply);
        if (r < 0)
            return r;
    }
    return sd_bus_message_exit_container(reply);
}

int ObjectCache::interfacesAdded(sd_bus_message* m, CacheChange& change) {
    std::string_view path;
    int r = readObjectPath(m, path);
    if (r < 0)
        return r;
    return readInterfaces(m, path, &change);
}

int ObjectCache::interfacesRemoved(sd_bus_message* m, CacheChange& change) {
    std::string_view path;
    int r = readObjectPath(m, path);
    if (r < 0)
        return r;
    return forEachString(m, [&](std::string_view interface) {
        if (interface == kDeviceInterface) {
            if (auto it = devices_.find(path); it != devices_.end())
                devices_.erase(it);
        } else if (interface == kAdapterInterface) {
            removeAdapter(path);
            change.adapters = true;
        } else if (interface == kAdvertisingManagerInterface || interface == kMonitorManagerInterface) {
            auto& managers = interface == kAdvertisingManagerInterface ? advertisingManagers_ : monitorManagers_;
            if (auto it = managers.find(path); it != managers.end())
                managers.erase(it);
            change.adapters = true;
        }
    });
}

int ObjectCache::propertiesChanged(sd_bus_message* m, CacheChange& change) {
    const char* rawPath = sd_bus_message_get_path(m);
    if (!rawPath)
        return -EBADMSG;
    std::string_view path(rawPath);
    const char* interface = nullptr;
    int r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface);
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    std::string_view name(interface);

    if (name == kDeviceInterface) {
        DeviceProperties* device = this->device(path);
        if (!device)
            return 0;  // not tracked (over the cap, or before we knew of it): nothing to report
        int changed = readDeviceProperties(m, *device);
        if (changed < 0)
            return changed;
        r = readInvalidatedDeviceProperties(m, *device);
        if (r < 0)
            return r;
        if ((changed & kDeviceRssi) && device->rssi) {
            change.device = device;
            change.devicePath = path;
        }
        return 0;
    }

    if (name == kAdapterInterface) {
        auto it = adapters_.find(path);
        if (it == adapters_.end())
            return 0;
        AdapterProperties& adapter = it->second;
        bool wasDiscovering = adapter.discovering.value_or(false);
        int changed = readProperties(m, adapter, kAdapterTable);
        if (changed < 0)
            return changed;
        int dropped = dropInvalidated(m, adapter, kAdapterTable);
        if (dropped < 0)
            return dropped;
        if ((changed | dropped) & kAdapterPowered)
            change.adapters = true;
        if (wasDiscovering && !adapter.discovering.value_or(false)) {
            change.discoveringStopped = true;
            change.discoveringAdapter = path;
        }
        return 0;
    }
    return 0;
}

}  // namespace brelo::bluetooth::bluez
