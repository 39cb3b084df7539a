#include "fake_device.h"

#include <algorithm>
#include <system_error>

namespace brelo::fakebluez {
namespace {

constexpr const char* kDeviceInterface = "org.bluez.Device1";

int appendFalse(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 0);
}

int appendPublic(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "public");
}

void addSlot(sd_bus* bus, runtime::SlotPtr& slot, const std::string& path, const sd_bus_vtable* vtable, void* self) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(bus, &raw, path.c_str(), kDeviceInterface, vtable, self);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + path);
    slot.reset(raw);
}

}  // namespace

const sd_bus_vtable FakeDevice::coreVtable_[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Address", "s", FakeDevice::getAddress, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AddressType", "s", appendPublic, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Alias", "s", FakeDevice::getAlias, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Paired", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Trusted", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Blocked", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("LegacyPairing", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Connected", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("UUIDs", "as", FakeDevice::getUuids, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Adapter", "o", FakeDevice::getAdapter, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ServicesResolved", "b", appendFalse, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeDevice::nameVtable_[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Name", "s", FakeDevice::getName, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeDevice::rssiVtable_[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("RSSI", "n", FakeDevice::getRssi, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeDevice::txPowerVtable_[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("TxPower", "n", FakeDevice::getTxPower, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeDevice::manufacturerDataVtable_[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("ManufacturerData", "a{qv}", FakeDevice::getManufacturerData, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

std::string FakeDevice::pathFor(const std::string& adapterPath, const std::string& address) {
    std::string node = "dev_" + address;
    std::replace(node.begin(), node.end(), ':', '_');
    return adapterPath + "/" + node;
}

FakeDevice::FakeDevice(sd_bus* bus, std::string adapterPath, std::string address)
    : bus_(bus), adapterPath_(std::move(adapterPath)), address_(std::move(address)),
      path_(pathFor(adapterPath_, address_)) {
    addSlot(bus_, core_, path_, coreVtable_, this);
}

FakeDevice::~FakeDevice() = default;

std::vector<std::string> FakeDevice::apply(const AdvertData& data) {
    std::vector<std::string> changed;
    if (data.name && data.name != name_) {
        name_ = data.name;
        changed.push_back("Name");
        changed.push_back("Alias");
    }
    if (data.txPower && data.txPower != txPower_) {
        txPower_ = data.txPower;
        changed.push_back("TxPower");
    }
    bool uuidsChanged = false;
    for (auto& uuid : data.uuids)
        if (std::find(uuids_.begin(), uuids_.end(), uuid) == uuids_.end()) {
            uuids_.push_back(uuid);
            uuidsChanged = true;
        }
    if (uuidsChanged)
        changed.push_back("UUIDs");
    bool mfgChanged = false;
    for (auto& [company, bytes] : data.manufacturerData) {
        auto it = manufacturerData_.find(company);
        if (it == manufacturerData_.end() || it->second != bytes) {
            manufacturerData_[company] = bytes;
            mfgChanged = true;
        }
    }
    if (mfgChanged)
        changed.push_back("ManufacturerData");
    if (data.rssi) {
        rssi_ = data.rssi;
        changed.push_back("RSSI");
    }
    syncOptionalSlots();
    return changed;
}

void FakeDevice::syncOptionalSlots() {
    auto sync = [&](bool present, runtime::SlotPtr& slot, const sd_bus_vtable* vtable) {
        if (present && !slot)
            addSlot(bus_, slot, path_, vtable, this);
        else if (!present && slot)
            slot.reset();
    };
    sync(name_.has_value(), nameSlot_, nameVtable_);
    sync(rssi_.has_value(), rssiSlot_, rssiVtable_);
    sync(txPower_.has_value(), txPowerSlot_, txPowerVtable_);
    sync(!manufacturerData_.empty(), manufacturerDataSlot_, manufacturerDataVtable_);
}

int FakeDevice::announce() { return sd_bus_emit_object_added(bus_, path_.c_str()); }

void FakeDevice::announceRemoval() { sd_bus_emit_object_removed(bus_, path_.c_str()); }

int FakeDevice::emitChanged(const std::vector<std::string>& names) {
    if (names.empty())
        return 0;
    std::vector<char*> strv;
    for (auto& n : names)
        strv.push_back(const_cast<char*>(n.c_str()));
    strv.push_back(nullptr);
    return sd_bus_emit_properties_changed_strv(bus_, path_.c_str(), kDeviceInterface, strv.data());
}

void FakeDevice::invalidateSignal() {
    std::vector<const char*> gone;
    if (rssi_)
        gone.push_back("RSSI");
    if (txPower_)
        gone.push_back("TxPower");
    if (gone.empty())
        return;
    rssi_.reset();
    txPower_.reset();
    syncOptionalSlots();
    // sd-bus can only name properties it still has, so this signal is written by hand.
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(bus_, &raw, path_.c_str(), "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged") < 0)
        return;
    runtime::MessagePtr m{raw};
    if (sd_bus_message_append(m.get(), "s", kDeviceInterface) < 0 ||
        sd_bus_message_open_container(m.get(), 'a', "{sv}") < 0 || sd_bus_message_close_container(m.get()) < 0 ||
        sd_bus_message_open_container(m.get(), 'a', "s") < 0)
        return;
    for (auto* name : gone)
        if (sd_bus_message_append(m.get(), "s", name) < 0)
            return;
    if (sd_bus_message_close_container(m.get()) < 0)
        return;
    sd_bus_send(bus_, m.get(), nullptr);
}

int FakeDevice::getAddress(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                           sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<FakeDevice*>(userdata)->address_.c_str());
}

int FakeDevice::getAlias(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                         sd_bus_error*) {
    // Without a name BlueZ makes the alias from the address with dashes.
    auto* self = static_cast<FakeDevice*>(userdata);
    std::string alias = self->name_.value_or(self->address_);
    if (!self->name_)
        std::replace(alias.begin(), alias.end(), ':', '-');
    return sd_bus_message_append(reply, "s", alias.c_str());
}

int FakeDevice::getAdapter(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                           sd_bus_error*) {
    return sd_bus_message_append(reply, "o", static_cast<FakeDevice*>(userdata)->adapterPath_.c_str());
}

int FakeDevice::getUuids(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                         sd_bus_error*) {
    auto* self = static_cast<FakeDevice*>(userdata);
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (size_t i = 0; r >= 0 && i < self->uuids_.size(); ++i)
        r = sd_bus_message_append(reply, "s", self->uuids_[i].c_str());
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int FakeDevice::getName(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                        sd_bus_error*) {
    auto* self = static_cast<FakeDevice*>(userdata);
    return sd_bus_message_append(reply, "s", self->name_.value_or("").c_str());
}

int FakeDevice::getRssi(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                        sd_bus_error*) {
    return sd_bus_message_append(reply, "n", static_cast<FakeDevice*>(userdata)->rssi_.value_or(0));
}

int FakeDevice::getTxPower(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                           sd_bus_error*) {
    return sd_bus_message_append(reply, "n", static_cast<FakeDevice*>(userdata)->txPower_.value_or(0));
}

int FakeDevice::getManufacturerData(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                                    void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeDevice*>(userdata);
    int r = sd_bus_message_open_container(reply, 'a', "{qv}");
    for (auto it = self->manufacturerData_.begin(); r >= 0 && it != self->manufacturerData_.end(); ++it) {
        r = sd_bus_message_open_container(reply, 'e', "qv");
        if (r >= 0)
            r = sd_bus_message_append(reply, "q", it->first);
        if (r >= 0)
            r = sd_bus_message_open_container(reply, 'v', "ay");
        if (r >= 0)
            r = sd_bus_message_append_array(reply, 'y', it->second.data(), it->second.size());
        if (r >= 0)
            r = sd_bus_message_close_container(reply);
        if (r >= 0)
            r = sd_bus_message_close_container(reply);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

}  // namespace brelo::fakebluez
