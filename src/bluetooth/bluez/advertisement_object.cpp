#include "bluetooth/bluez/advertisement_object.h"

#include <cerrno>

namespace brelo::bluetooth::bluez {
namespace {

constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";

}  // namespace

AdvertisementObject::AdvertisementObject(std::string path, std::function<bool(std::string_view sender)> isBluez,
                                         std::function<void()> onRelease)
    : path_(std::move(path)), isBluez_(std::move(isBluez)), onRelease_(std::move(onRelease)) {}

void AdvertisementObject::setData(const AdvertisingData& data) {
    localName_ = data.localName;
    serviceUuids_.clear();
    for (const Uuid& uuid : data.serviceUuids)
        serviceUuids_.push_back(uuid.canonical());
}

int AdvertisementObject::exportOn(sd_bus* bus) {
    if (slot_ && exportedOn_ == bus)
        return 0;
    withdraw();
    // BlueZ reads the properties once, while it handles RegisterAdvertisement; every
    // registration is preceded by an unregistration, so a change of data is always read.
    static const sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Release", "", "", &AdvertisementObject::onRelease, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Type", "s", &AdvertisementObject::getType, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("ServiceUUIDs", "as", &AdvertisementObject::getServiceUuids, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
        SD_BUS_PROPERTY("LocalName", "s", &AdvertisementObject::getLocalName, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(bus, &raw, path_.c_str(), kAdvertisementInterface, kVtable, this);
    if (r < 0)
        return r;
    slot_.reset(raw);
    exportedOn_ = bus;
    return 0;
}

void AdvertisementObject::withdraw() {
    slot_.reset();
    exportedOn_ = nullptr;
}

int AdvertisementObject::onRelease(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept {
    auto* self = static_cast<AdvertisementObject*>(userdata);
    try {
        const char* sender = sd_bus_message_get_sender(m);
        if (!sender || !self->isBluez_(sender))
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Only BlueZ releases this advertisement");
        self->onRelease_();
    } catch (...) {
        return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, "Release failed");
    }
    return sd_bus_reply_method_return(m, "");
}

int AdvertisementObject::getType(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                                 sd_bus_error*) noexcept {
    // Not connectable: other listeners only need to hear it.
    return sd_bus_message_append(reply, "s", "broadcast");
}

int AdvertisementObject::getServiceUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                                         void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<AdvertisementObject*>(userdata);
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "s");
    for (const std::string& uuid : self->serviceUuids_) {
        if (r < 0)
            return r;
        r = sd_bus_message_append_basic(reply, SD_BUS_TYPE_STRING, uuid.c_str());
    }
    if (r < 0)
        return r;
    return sd_bus_message_close_container(reply);
}

int AdvertisementObject::getLocalName(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                                      void* userdata, sd_bus_error*) noexcept {
    return sd_bus_message_append_basic(reply, SD_BUS_TYPE_STRING,
                                       static_cast<AdvertisementObject*>(userdata)->localName_.c_str());
}

}  // namespace brelo::bluetooth::bluez
