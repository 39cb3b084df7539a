#include "bluetooth/bluez/monitor_object.h"

#include <cstdint>

namespace brelo::bluetooth::bluez {
namespace {

constexpr const char* kMonitorInterface = "org.bluez.AdvertisementMonitor1";
constexpr const char* kMonitorPath = "/org/brelo/monitor/0";

// Manufacturer-specific data (AD type 0xFF) starting with these bytes: a company identifier
// no member holds and a fixed tail of our own, so no real advertisement matches.
constexpr uint8_t kAdTypeManufacturer = 0xFF;
constexpr uint8_t kPattern[] = {0xFE, 0xFF, 'b', 'r', 'e', 'l', 'o', '-', 'n', 'o', 'n', 'e'};

}  // namespace

MonitorObject::MonitorObject(std::function<bool(std::string_view sender)> isBluez, std::function<void()> onActivate,
                             std::function<void()> onRelease)
    : isBluez_(std::move(isBluez)), onActivate_(std::move(onActivate)), onRelease_(std::move(onRelease)) {}

int MonitorObject::exportOn(sd_bus* bus) {
    if (objectSlot_ && exportedOn_ == bus)
        return 0;
    withdraw();
    static const sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Release", "", "", &MonitorObject::onRelease, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Activate", "", "", &MonitorObject::onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("DeviceFound", "o", "", &MonitorObject::onDevice, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("DeviceLost", "o", "", &MonitorObject::onDevice, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Type", "s", &MonitorObject::getType, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Patterns", "a(yyay)", &MonitorObject::getPatterns, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_manager(bus, &raw, kRoot);
    if (r < 0)
        return r;
    managerSlot_.reset(raw);
    r = sd_bus_add_object_vtable(bus, &raw, kMonitorPath, kMonitorInterface, kVtable, this);
    if (r < 0) {
        managerSlot_.reset();
        return r;
    }
    objectSlot_.reset(raw);
    exportedOn_ = bus;
    return 0;
}

void MonitorObject::withdraw() {
    objectSlot_.reset();
    managerSlot_.reset();
    exportedOn_ = nullptr;
}

int MonitorObject::fromBluez(sd_bus_message* m, MonitorObject* self, sd_bus_error* error,
                             const std::function<void()>& then) {
    try {
        const char* sender = sd_bus_message_get_sender(m);
        if (!sender || !self->isBluez_(sender))
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Only BlueZ calls this monitor");
        if (then)
            then();
    } catch (...) {
        return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, "Monitor call failed");
    }
    return sd_bus_reply_method_return(m, "");
}

int MonitorObject::onActivate(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept {
    auto* self = static_cast<MonitorObject*>(userdata);
    return fromBluez(m, self, error, self->onActivate_);
}

int MonitorObject::onRelease(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept {
    auto* self = static_cast<MonitorObject*>(userdata);
    return fromBluez(m, self, error, self->onRelease_);
}

int MonitorObject::onDevice(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept {
    // Nothing should match; reports come as the devices' PropertiesChanged either way.
    return fromBluez(m, static_cast<MonitorObject*>(userdata), error, {});
}

int MonitorObject::getType(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                            sd_bus_error*) noexcept {
    return sd_bus_message_append(reply, "s", "or_patterns");
}

int MonitorObject::getPatterns(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                               sd_bus_error*) noexcept {
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "(yyay)");
    if (r >= 0)
        r = sd_bus_message_open_container(reply, SD_BUS_TYPE_STRUCT, "yyay");
    if (r >= 0)
        r = sd_bus_message_append(reply, "yy", uint8_t{0}, kAdTypeManufacturer);
    if (r >= 0)
        r = sd_bus_message_append_array(reply, 'y', kPattern, sizeof kPattern);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

}  // namespace brelo::bluetooth::bluez
