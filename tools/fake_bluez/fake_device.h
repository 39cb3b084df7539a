#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/handles.h"

namespace brelo::fakebluez {

// What one received advertisement tells BlueZ about a remote device.
struct AdvertData {
    std::optional<int16_t> rssi;
    std::optional<std::string> name;
    std::optional<int16_t> txPower;
    std::vector<std::string> uuids;  // 128-bit, lower case
    std::map<uint16_t, std::vector<uint8_t>> manufacturerData;
};

// One org.bluez.Device1 object under an adapter, e.g. /org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF.
//
// BlueZ leaves a property out of GetAll, GetManagedObjects and InterfacesAdded while it has
// no value (Name before a name was heard, RSSI outside discovery, ...). sd-bus lists every
// property of a vtable, so each optional property has a one-entry vtable of its own that is
// registered only while the value exists; sd-bus merges vtables of one interface.
class FakeDevice {
public:
    FakeDevice(sd_bus* bus, std::string adapterPath, std::string address);
    ~FakeDevice();  // takes the object off the bus without a signal
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::string& path() const { return path_; }
    const std::string& address() const { return address_; }

    // Folds an advertisement in the way BlueZ does: name, TX power and each company's data
    // replace the old value, new UUIDs are added to the list. Returns the properties whose
    // value changed, RSSI always when the advertisement has one (BlueZ reports every
    // reading while a discovery filter is set).
    std::vector<std::string> apply(const AdvertData& data);

    int announce();                                         // InterfacesAdded; < 0: not sent
    void announceRemoval();                                 // InterfacesRemoved
    int emitChanged(const std::vector<std::string>& names);  // one PropertiesChanged; < 0: not sent
    // Discovery ended: BlueZ drops RSSI and TxPower and lists them as invalidated.
    void invalidateSignal();

    static std::string pathFor(const std::string& adapterPath, const std::string& address);

private:
    void syncOptionalSlots();

    static int getAddress(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getAlias(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getAdapter(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getName(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getRssi(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getTxPower(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*, sd_bus_error*);
    static int getManufacturerData(sd_bus*, const char*, const char*, const char*, sd_bus_message*, void*,
                                   sd_bus_error*);

    static const sd_bus_vtable coreVtable_[];
    static const sd_bus_vtable nameVtable_[];
    static const sd_bus_vtable rssiVtable_[];
    static const sd_bus_vtable txPowerVtable_[];
    static const sd_bus_vtable manufacturerDataVtable_[];

    sd_bus* bus_;
    std::string adapterPath_;
    std::string address_;
    std::string path_;

    std::optional<std::string> name_;
    std::optional<int16_t> rssi_;
    std::optional<int16_t> txPower_;
    std::vector<std::string> uuids_;
    std::map<uint16_t, std::vector<uint8_t>> manufacturerData_;

    runtime::SlotPtr core_;
    runtime::SlotPtr nameSlot_;
    runtime::SlotPtr rssiSlot_;
    runtime::SlotPtr txPowerSlot_;
    runtime::SlotPtr manufacturerDataSlot_;
};

}  // namespace brelo::fakebluez
