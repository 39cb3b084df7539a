#pragma once

// Just enough of BlueZ's D-Bus API, on the test's own loop and private bus, to drive the
// binding through its paths: GetManagedObjects, Adapter1's discovery calls, Device1 signals,
// LEAdvertisingManager1 (reading the advertisement back before answering, as BlueZ does),
// refusals, and dropping the org.bluez name. Everything is answered by hand from a filter,
// so tests control exactly what goes on the wire.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include "runtime/handles.h"

namespace brelo::test {

class MiniBluez {
public:
    struct Device {
        std::string address;
        std::optional<int16_t> rssi;
        std::optional<std::string> name;
        std::vector<std::string> uuids;
    };
    struct Adapter {
        bool powered = true;
        bool discovering = false;
        bool advertising = true;  // has LEAdvertisingManager1
    };

    MiniBluez(sd_event* event, const std::string& address);
    ~MiniBluez();

    void own();
    void disown();
    const char* uniqueName() const;

    void addAdapter(const std::string& path);  // powered, with the advertising manager
    void addAdapter(const std::string& path, Adapter adapter);
    void removeAdapter(const std::string& path);
    void setPowered(const std::string& path, bool powered);
    void setDiscovering(const std::string& path, bool discovering);
    void addDevice(const std::string& path, Device device);
    // One advertisement: PropertiesChanged with RSSI.
    void advertise(const std::string& path, int16_t rssi);
    void rename(const std::string& path, const std::string& name);
    void release(const std::string& adapterPath);

    // Every method call answered with this error (name, message) while set.
    std::optional<std::pair<std::string, std::string>> refuseAll;
    // RegisterAdvertisement answered with this error while set.
    std::optional<std::pair<std::string, std::string>> refuseRegistration;

    // What clients did, one line each, e.g. "StartDiscovery /org/bluez/hci0" or
    // "SetDiscoveryFilter Transport=le DuplicateData=true RSSI=-127".
    std::vector<std::string> calls;
    size_t count(const std::string& prefix) const;
    // Who registered an advertisement last, and at which path.
    const std::string& lastRegistrant() const { return lastRegistrant_; }
    const std::string& lastRegisteredPath() const { return lastRegisteredPath_; }

private:
    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onAdvertisementRead(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    int handle(sd_bus_message* m);
    void replyObjects(sd_bus_message* m);
    void appendAdapter(sd_bus_message* m, const std::string& path, const Adapter& a);
    void appendDevice(sd_bus_message* m, const Device& d);
    void send(sd_bus_message* m);
    void propertiesChanged(const std::string& path, const char* interface, const char* name, const char* type,
                           const void* value);

    runtime::BusPtr bus_;
    runtime::SlotPtr filter_;
    std::map<std::string, Adapter> adapters_;
    std::map<std::string, Device> devices_;
    struct Registration {
        std::string owner;
        std::string path;
    };
    std::map<std::string, Registration> registered_;  // by adapter path
    std::string lastRegistrant_;
    std::string lastRegisteredPath_;
    std::vector<runtime::SlotPtr> pending_;
    struct PendingRegistration {
        MiniBluez* self;
        runtime::MessagePtr call;
        std::string adapter;
    };
    std::vector<std::unique_ptr<PendingRegistration>> registrations_;
};

}  // namespace brelo::test
