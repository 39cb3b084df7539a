#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

#include "bluetooth/platform.h"
#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {

// Our side of an LE advertisement: an org.bluez.LEAdvertisement1 object that BlueZ reads
// back (Type, ServiceUUIDs, LocalName) when we register its path, and whose Release method
// BlueZ calls when it drops the advertisement.
class AdvertisementObject {
public:
    // onRelease runs for a Release call whose sender isBluez accepts; others are refused.
    AdvertisementObject(std::string path, std::function<bool(std::string_view sender)> isBluez,
                        std::function<void()> onRelease);
    AdvertisementObject(const AdvertisementObject&) = delete;
    AdvertisementObject& operator=(const AdvertisementObject&) = delete;

    const std::string& path() const { return path_; }
    void setData(const AdvertisingData& data);

    // Puts the object on bus, unless it is there already. Negative errno on failure.
    int exportOn(sd_bus* bus);
    // Takes it off whatever bus it was on (the connection is going away).
    void withdraw();

private:
    static int onRelease(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int getType(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                       sd_bus_error*) noexcept;
    static int getServiceUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                               sd_bus_error*) noexcept;
    static int getLocalName(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                            sd_bus_error*) noexcept;

    std::string path_;
    std::function<bool(std::string_view)> isBluez_;
    std::function<void()> onRelease_;
    std::string localName_;
    std::vector<std::string> serviceUuids_;  // 36-character form
    sd_bus* exportedOn_ = nullptr;           // compared only, never dereferenced
    runtime::SlotPtr slot_;
};

}  // namespace brelo::bluetooth::bluez
