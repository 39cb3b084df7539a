#include "bluetooth/bluez/device_properties.h"

#include <algorithm>
#include <array>

#include <uuid/uuid.h>

#include "bluetooth/bluez/bus_reader.h"

namespace brelo::bluetooth::bluez {
namespace {

// d3e0326f-626f-4d7c-b11d-3cd9d13b5b04: the namespace of device identifiers. Changing it
// changes every identifier the server has ever seen from this system.
constexpr uuid_t kIdentifierNamespace = {0xd3, 0xe0, 0x32, 0x6f, 0x62, 0x6f, 0x4d, 0x7c,
                                         0xb1, 0x1d, 0x3c, 0xd9, 0xd1, 0x3b, 0x5b, 0x04};

// Addresses are 17 characters; anything longer is not an address we need all of.
constexpr size_t kMaxAddressBytes = 64;

int readAddress(sd_bus_message* m, DeviceProperties& device) {
    const char* text = nullptr;
    int r = readVariantString(m, text);
    if (text)
        device.identifier = identifierForAddress(text);
    else
        device.identifier.reset();
    return r;
}

int readName(sd_bus_message* m, DeviceProperties& device) {
    const char* text = nullptr;
    int r = readVariantString(m, text);
    auto& name = device.advertisement.localName;
    if (text) {
        if (!name)
            name.emplace();
        assignCapped(*name, text, kMaxNameBytes);
    } else {
        name.reset();
    }
    return r;
}

// a{qv} with each value ay. Only the entry with the lowest company identifier is kept;
// entries whose value is not ay are passed over as if absent.
int readManufacturerData(sd_bus_message* m, DeviceProperties& device) {
    std::optional<uint16_t> bestId;
    const void* bestBytes = nullptr;
    size_t bestSize = 0;
    int r = readVariant(m, "a{qv}", [&]() -> int {
        int rr = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{qv}");
        if (rr <= 0)
            return rr < 0 ? rr : -EBADMSG;
        for (;;) {
            rr = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "qv");
            if (rr < 0)
                return rr;
            if (rr == 0)
                break;
            uint16_t id = 0;
            rr = sd_bus_message_read_basic(m, SD_BUS_TYPE_UINT16, &id);
            if (rr <= 0)
                return rr < 0 ? rr : -EBADMSG;
            const void* bytes = nullptr;
            size_t size = 0;
            rr = readVariant(m, "ay", [&] { return sd_bus_message_read_array(m, SD_BUS_TYPE_BYTE, &bytes, &size); });
            if (rr < 0)
                return rr;
            if (rr > 0 && (!bestId || id < *bestId)) {
                bestId = id;
                bestBytes = bytes;
                bestSize = size;
            }
            rr = sd_bus_message_exit_container(m);
            if (rr < 0)
                return rr;
        }
        return sd_bus_message_exit_container(m);
    });
    auto& data = device.advertisement.manufacturerData;
    if (r > 0 && bestId) {
        if (!data)
            data.emplace();
        size_t size = std::min(bestSize, kMaxManufacturerValueBytes);
        data->resize(2 + size);
        (*data)[0] = static_cast<uint8_t>(*bestId & 0xFF);
        (*data)[1] = static_cast<uint8_t>(*bestId >> 8);
        if (size > 0)
            std::copy_n(static_cast<const uint8_t*>(bestBytes), size, data->begin() + 2);
    } else {
        data.reset();
    }
    return r;
}

int readUuids(sd_bus_message* m, DeviceProperties& device) {
    auto& uuids = device.advertisement.serviceUuids;
    if (!uuids)
        uuids.emplace();
    uuids->clear();
    int r = readVariant(m, "as", [&] {
        // Every entry is read, even past the cap: sd-bus will not leave an array half read.
        return forEachString(m, [&](std::string_view text) {
            if (uuids->size() >= kMaxServiceUuids)
                return;
            if (auto uuid = Uuid::parse(text))
                uuids->push_back(*uuid);
        });
    });
    if (r <= 0)
        uuids.reset();
    return r;
}

int readTxPower(sd_bus_message* m, DeviceProperties& device) {
    std::optional<int16_t> value;
    int r = readVariantInt16(m, value);
    if (value)
        device.advertisement.txPowerLevel = *value;
    else
        device.advertisement.txPowerLevel.reset();
    return r;
}

int readRssi(sd_bus_message* m, DeviceProperties& device) { return readVariantInt16(m, device.rssi); }

// In the order of the DeviceProperty bits.
constexpr PropertyTable<DeviceProperties, 6> kDeviceTable = {{
    {"Address", readAddress, [](DeviceProperties& d) { d.identifier.reset(); }},
    {"Name", readName, [](DeviceProperties& d) { d.advertisement.localName.reset(); }},
    {"ManufacturerData", readManufacturerData, [](DeviceProperties& d) { d.advertisement.manufacturerData.reset(); }},
    {"UUIDs", readUuids, [](DeviceProperties& d) { d.advertisement.serviceUuids.reset(); }},
    {"TxPower", readTxPower, [](DeviceProperties& d) { d.advertisement.txPowerLevel.reset(); }},
    {"RSSI", readRssi, [](DeviceProperties& d) { d.rssi.reset(); }},
}};
static_assert(kDeviceTable[5].key == "RSSI" && kDeviceRssi == 1u << 5);

}  // namespace

int readDeviceProperties(sd_bus_message* m, DeviceProperties& device) {
    return readProperties(m, device, kDeviceTable);
}

int readInvalidatedDeviceProperties(sd_bus_message* m, DeviceProperties& device) {
    return dropInvalidated(m, device, kDeviceTable);
}

Uuid identifierForAddress(std::string_view address) {
    std::array<char, kMaxAddressBytes> upper{};
    size_t size = std::min(address.size(), upper.size());
    for (size_t i = 0; i < size; ++i) {
        char c = address[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    uuid_t out;
    uuid_generate_sha1(out, kIdentifierNamespace, upper.data(), size);
    Uuid::Bytes bytes;
    std::copy_n(out, bytes.size(), bytes.begin());
    return Uuid(bytes);
}

}  // namespace brelo::bluetooth::bluez
