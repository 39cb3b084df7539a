#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {

// Our side of an advertisement monitor: an object manager at a root path with one
// org.bluez.AdvertisementMonitor1 object below it, which BlueZ reads (GetManagedObjects)
// when the root is registered with RegisterMonitor. Its one pattern matches nothing that
// is on the air, so BlueZ never calls DeviceFound: the monitor is there only because, while
// any monitor is registered, the kernel scans without its duplicate filter.
class MonitorObject {
public:
    // onActivate and onRelease run for calls whose sender isBluez accepts; others are refused.
    MonitorObject(std::function<bool(std::string_view sender)> isBluez, std::function<void()> onActivate,
                  std::function<void()> onRelease);
    MonitorObject(const MonitorObject&) = delete;
    MonitorObject& operator=(const MonitorObject&) = delete;

    static constexpr const char* kRoot = "/org/brelo/monitor";

    // Puts the objects on bus, unless they are there already. Negative errno on failure.
    int exportOn(sd_bus* bus);
    // Takes them off whatever bus they were on.
    void withdraw();

private:
    static int onActivate(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onRelease(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onDevice(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int getType(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                       sd_bus_error*) noexcept;
    static int getPatterns(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                           sd_bus_error*) noexcept;
    static int fromBluez(sd_bus_message* m, MonitorObject* self, sd_bus_error* error,
                         const std::function<void()>& then);

    std::function<bool(std::string_view)> isBluez_;
    std::function<void()> onActivate_;
    std::function<void()> onRelease_;
    sd_bus* exportedOn_ = nullptr;  // compared only, never dereferenced
    runtime::SlotPtr managerSlot_;
    runtime::SlotPtr objectSlot_;
};

}  // namespace brelo::bluetooth::bluez
