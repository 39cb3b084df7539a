#pragma once

// What the binding keeps of one org.bluez.Device1 between signals, and how BlueZ's a{sv}
// of device properties is read into it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <systemd/sd-bus.h>

#include "bluetooth/platform.h"
#include "bluetooth/uuid.h"

namespace brelo::bluetooth::bluez {

// Limits on what a remote device can make us keep. Names: the Bluetooth device name is at
// most 248 bytes. Manufacturer data: one AD structure carries at most 252 bytes after its
// company identifier, even in an extended advertisement. UUIDs: BlueZ merges every UUID
// it ever learnt of the device; 64 is far more than any advertisement carries.
inline constexpr size_t kMaxNameBytes = 248;
inline constexpr size_t kMaxManufacturerValueBytes = 252;
inline constexpr size_t kMaxServiceUuids = 64;

struct DeviceProperties {
    std::optional<Uuid> identifier;  // from Address
    std::optional<int16_t> rssi;
    // localName, manufacturerData, serviceUuids and txPowerLevel are kept current here, so
    // that a report hands this very object to the listener; identifier and rssi are copied
    // in when a report is made. peripheralName stays empty: BlueZ has only one name.
    Advertisement advertisement;
};

// The Device1 properties the binding reads, as bits of the value readDeviceProperties returns.
enum DeviceProperty : unsigned {
    kDeviceAddress = 1u << 0,
    kDeviceName = 1u << 1,
    kDeviceManufacturerData = 1u << 2,
    kDeviceUuids = 1u << 3,
    kDeviceTxPower = 1u << 4,
    kDeviceRssi = 1u << 5,
};

// Reads an a{sv} of Device1 properties into device: Address (s), Name (s),
// ManufacturerData (a{qv} of ay: the entry with the lowest company identifier, as the
// identifier low byte first and then the value), UUIDs (as, entries that do not parse are
// left out), TxPower (n), RSSI (n). A known property of another type becomes absent; other
// keys are skipped. Returns the DeviceProperty bits of the known keys present, whatever
// their type, or a negative errno for a malformed message (device may be partly updated).
int readDeviceProperties(sd_bus_message* m, DeviceProperties& device);

// Reads PropertiesChanged's invalidated list ("as") and drops those properties.
// Returns the DeviceProperty bits dropped, or a negative errno.
int readInvalidatedDeviceProperties(sd_bus_message* m, DeviceProperties& device);

// The identifier reported for a device: the name-based (SHA-1) UUID of its address in
// upper case, under a namespace of this project's own, so it is the same on every node
// and after every restart.
Uuid identifierForAddress(std::string_view address);

}  // namespace brelo::bluetooth::bluez
