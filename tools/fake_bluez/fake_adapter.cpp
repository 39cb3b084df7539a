#include "fake_adapter.h"

#include <algorithm>
#include <exception>
#include <set>
#include <system_error>

#include "script.h"

namespace brelo::fakebluez {
namespace {

constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kAdvertisingInterface = "org.bluez.LEAdvertisingManager1";
constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";

// BlueZ's error names and the texts it sends with them.
constexpr const char* kInvalidArguments = "org.bluez.Error.InvalidArguments";
constexpr const char* kInvalidArgumentsText = "Invalid arguments in method call";
constexpr const char* kNotReady = "org.bluez.Error.NotReady";
constexpr const char* kNotReadyText = "Resource Not Ready";
constexpr const char* kInProgress = "org.bluez.Error.InProgress";
constexpr const char* kInProgressText = "Operation already in progress";
constexpr const char* kFailed = "org.bluez.Error.Failed";
constexpr const char* kAlreadyExists = "org.bluez.Error.AlreadyExists";
constexpr const char* kAlreadyExistsText = "Already Exists";
constexpr const char* kDoesNotExist = "org.bluez.Error.DoesNotExist";
constexpr const char* kDoesNotExistText = "Does Not Exist";
constexpr const char* kNotPermitted = "org.bluez.Error.NotPermitted";

// Controllers offer a handful of advertising instances; a sixth registration is refused.
constexpr size_t kMaxAdvertisements = 5;

std::string senderOf(sd_bus_message* m) {
    const char* s = sd_bus_message_get_sender(m);
    return s ? s : "(unknown)";
}

// Every handler is a C callback: nothing may escape it.
template <class F>
int guarded(sd_bus_error* error, F&& f) noexcept {
    try {
        return f();
    } catch (const std::exception& e) {
        return sd_bus_error_set(error, kFailed, e.what());
    } catch (...) {
        return sd_bus_error_set(error, kFailed, "internal error");
    }
}

std::string quoteIfSpaced(const std::string& v) {
    return v.find(' ') == std::string::npos && !v.empty() ? v : "\"" + v + "\"";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (auto& i : items)
        out += (out.empty() ? "" : ",") + i;
    return out;
}

std::string variantSignature(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents)
        return "?";
    return contents;
}

// Reads an "as" inside the current variant.
int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(m, 'v', "as");
    if (r < 0)
        return r;
    r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0)
        return r;
    const char* s = nullptr;
    while ((r = sd_bus_message_read(m, "s", &s)) > 0)
        out.emplace_back(s);
    if (r < 0)
        return r;
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

// Reads an a{?v} whose values must all be byte arrays (ManufacturerData a{qv}, ServiceData
// a{sv}); false when a value has another type.
bool readByteArrayDict(sd_bus_message* m, char keyType, std::map<uint16_t, std::vector<uint8_t>>* out) {
    std::string outer = std::string("a{") + keyType + "v}";
    std::string entry = std::string(1, keyType) + "v";
    std::string dict = std::string("{") + keyType + "v}";
    if (sd_bus_message_enter_container(m, 'v', outer.c_str()) < 0 ||
        sd_bus_message_enter_container(m, 'a', dict.c_str()) < 0)
        return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', entry.c_str())) > 0) {
        uint16_t company = 0;
        if (keyType == 'q') {
            if (sd_bus_message_read(m, "q", &company) < 0)
                return false;
        } else if (sd_bus_message_skip(m, std::string(1, keyType).c_str()) < 0) {
            return false;
        }
        if (variantSignature(m) != "ay" || sd_bus_message_enter_container(m, 'v', "ay") < 0)
            return false;
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &data, &size) < 0)
            return false;
        if (out) {
            auto* bytes = static_cast<const uint8_t*>(data);
            (*out)[company] = std::vector<uint8_t>(bytes, bytes + size);
        }
        if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
            return false;
    }
    return r >= 0 && sd_bus_message_exit_container(m) >= 0 && sd_bus_message_exit_container(m) >= 0;
}

// Reads LEAdvertisement1's properties the way BlueZ's parsers do: a known property of the
// wrong type fails the registration, unknown ones are ignored. Returns what was wrong.
std::optional<std::string> readAdvertisement(sd_bus_message* m, Registration& reg) {
    static const std::map<std::string, std::string> kExpected = {
        {"Type", "s"},         {"ServiceUUIDs", "as"},      {"SolicitUUIDs", "as"},
        {"ManufacturerData", "a{qv}"}, {"ServiceData", "a{sv}"}, {"Includes", "as"},
        {"LocalName", "s"},    {"Appearance", "q"},         {"Duration", "q"},
        {"Timeout", "q"},      {"Discoverable", "b"},       {"DiscoverableTimeout", "q"},
        {"SecondaryChannel", "s"}, {"MinInterval", "u"},    {"MaxInterval", "u"},
        {"TxPower", "n"},
    };
    bool discoverable = false;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return "the properties are not an a{sv}";
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* keyRaw = nullptr;
        if (sd_bus_message_read(m, "s", &keyRaw) < 0)
            return "unreadable property name";
        std::string key = keyRaw;
        std::string sig = variantSignature(m);
        auto expected = kExpected.find(key);
        if (expected != kExpected.end() && expected->second != sig)
            return key + " has type " + sig + ", expected " + expected->second;
        if (key == "Type") {
            const char* v = nullptr;
            if (sd_bus_message_read(m, "v", "s", &v) < 0)
                return "unreadable Type";
            if (std::string(v) != "broadcast" && std::string(v) != "peripheral")
                return "Type '" + std::string(v) + "' is neither broadcast nor peripheral";
            reg.type = v;
        } else if (key == "LocalName") {
            const char* v = nullptr;
            if (sd_bus_message_read(m, "v", "s", &v) < 0)
                return "unreadable LocalName";
            // BlueZ treats an empty name as no name.
            if (*v)
                reg.localName = v;
        } else if (key == "ServiceUUIDs" || key == "SolicitUUIDs") {
            std::vector<std::string> uuids;
            if (readStrings(m, uuids) < 0)
                return "unreadable " + key;
            for (auto& u : uuids)
                if (!fullUuid(u))
                    return key + " holds '" + u + "', which is not a UUID";
            if (key == "ServiceUUIDs")
                reg.serviceUuids = uuids;
        } else if (key == "ManufacturerData" || key == "ServiceData") {
            if (!readByteArrayDict(m, key == "ManufacturerData" ? 'q' : 's',
                                   key == "ManufacturerData" ? &reg.manufacturerData : nullptr))
                return key + " values must be byte arrays";
        } else if (key == "Discoverable") {
            int v = 0;
            if (sd_bus_message_read(m, "v", "b", &v) < 0)
                return "unreadable Discoverable";
            discoverable = v != 0;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return "unreadable " + key;
        }
        if (sd_bus_message_exit_container(m) < 0)
            return "malformed property entry";
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0)
        return "malformed properties";
    if (reg.type == "broadcast" && discoverable)
        return "Broadcast cannot set flags";
    return std::nullopt;
}

}  // namespace

const sd_bus_vtable FakeAdapter::adapterVtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartDiscovery", "", "", FakeAdapter::onStartDiscovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopDiscovery", "", "", FakeAdapter::onStopDiscovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetDiscoveryFilter", "a{sv}", "", FakeAdapter::onSetDiscoveryFilter, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetDiscoveryFilters", "", "as", FakeAdapter::onGetDiscoveryFilters, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveDevice", "o", "", FakeAdapter::onRemoveDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Address", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AddressType", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Alias", "s", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Class", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_WRITABLE_PROPERTY("Powered", "b", FakeAdapter::getProperty, FakeAdapter::setPoweredProperty, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE | SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Discoverable", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("DiscoverableTimeout", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Pairable", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("PairableTimeout", "u", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Discovering", "b", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("UUIDs", "as", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Roles", "as", FakeAdapter::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeAdapter::advertisingVtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterAdvertisement", "oa{sv}", "", FakeAdapter::onRegisterAdvertisement,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UnregisterAdvertisement", "o", "", FakeAdapter::onUnregisterAdvertisement,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("ActiveInstances", "y", FakeAdapter::getManagerProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("SupportedInstances", "y", FakeAdapter::getManagerProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("SupportedIncludes", "as", FakeAdapter::getManagerProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

FakeAdapter::FakeAdapter(BusEnv& env, AdapterConfig config)
    : env_(env), config_(std::move(config)), path_("/org/bluez/" + config_.name) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(env_.bus, &raw, path_.c_str(), kAdapterInterface, adapterVtable_, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + path_);
    adapterSlot_.reset(raw);
    if (config_.advertisingManager) {
        r = sd_bus_add_object_vtable(env_.bus, &raw, path_.c_str(), kAdvertisingInterface, advertisingVtable_, this);
        if (r < 0)
            throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + path_);
        advertisingSlot_.reset(raw);
    }
    sd_bus_emit_object_added(env_.bus, path_.c_str());
}

FakeAdapter::~FakeAdapter() = default;

void FakeAdapter::say(const std::string& text) const { env_.out->line(text); }

void FakeAdapter::announceRemoval() {
    releaseRegistrations();
    for (auto& [address, device] : devices_)
        device->announceRemoval();
    sd_bus_emit_object_removed(env_.bus, path_.c_str());
}

void FakeAdapter::setPowered(bool on, const std::string& by) {
    if (config_.powered == on)
        return;
    config_.powered = on;
    say("power " + config_.name + (on ? " on" : " off") + (by.empty() ? "" : " by " + by));
    if (on) {
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", nullptr);
        return;
    }
    // Power-off ends every discovery session and forgets every filter. BlueZ reports
    // Powered and Discovering in one PropertiesChanged, since it batches the changes of one
    // turn of its loop.
    for (auto& [owner, client] : clients_)
        if (client.discovering)
            say("discovery stop " + owner + " adapter=" + config_.name + " (powered off)");
    clients_.clear();
    setDiscovering(false, true);
}

void FakeAdapter::setDiscovering(bool on, bool alsoPowered) {
    bool changed = discovering_ != on;
    discovering_ = on;
    if (alsoPowered && changed)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", "Discovering", nullptr);
    else if (alsoPowered)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", nullptr);
    else if (changed)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Discovering", nullptr);
    if (changed && !on)
        for (auto& [address, device] : devices_)
            device->invalidateSignal();
}

void FakeAdapter::endDiscovery(const char* reason) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second.discovering) {
            say("discovery stop " + it->first + " adapter=" + config_.name + " (" + reason + ")");
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
    setDiscovering(false, false);
}

void FakeAdapter::stopDiscoveryByItself() {
    if (!discovering_) {
        say("discovery not running adapter=" + config_.name);
        return;
    }
    endDiscovery("stopped by bluez");
}

void FakeAdapter::forgetClient(const std::string& owner) {
    auto it = clients_.find(owner);
    if (it != clients_.end()) {
        bool was = it->second.discovering;
        clients_.erase(it);
        if (was) {
            say("discovery stop " + owner + " adapter=" + config_.name + " (client gone)");
            bool anyLeft = std::any_of(clients_.begin(), clients_.end(), [](auto& c) { return c.second.discovering; });
            if (!anyLeft)
                setDiscovering(false, false);
        }
    }
    std::vector<Registration*> gone;
    for (auto& reg : registrations_)
        if (reg->owner == owner)
            gone.push_back(reg.get());
    for (auto* reg : gone) {
        say("unregistered " + owner + " " + reg->path + " adapter=" + config_.name + " (client gone)");
        removeRegistration(reg);
    }
}

FakeDevice* FakeAdapter::findDevice(const std::string& address) {
    auto it = devices_.find(address);
    return it == devices_.end() ? nullptr : it->second.get();
}

bool FakeAdapter::addDevice(const std::string& address, const AdvertData& data) {
    if (findDevice(address))
        throw ScriptError("device " + address + " already exists on " + config_.name);
    auto device = std::make_unique<FakeDevice>(env_.bus, path_, address);
    device->apply(data);
    int r = device->announce();
    devices_.emplace(address, std::move(device));
    return r >= 0;
}

void FakeAdapter::removeDevice(const std::string& address) {
    auto it = devices_.find(address);
    if (it == devices_.end())
        throw ScriptError("no device " + address + " on " + config_.name);
    it->second->announceRemoval();
    devices_.erase(it);
}

bool FakeAdapter::filterAccepts(const AdvertData& data) const {
    // BlueZ reports a device when any discovering client's filter lets it through.
    for (auto& [owner, client] : clients_) {
        if (!client.discovering)
            continue;
        if (!client.filter)
            return true;
        const DiscoveryFilter& f = *client.filter;
        if (f.transport == "bredr")
            continue;
        if (!f.uuids.empty() && std::none_of(f.uuids.begin(), f.uuids.end(), [&](const std::string& u) {
                return std::find(data.uuids.begin(), data.uuids.end(), u) != data.uuids.end();
            }))
            continue;
        if (f.rssi && data.rssi && *data.rssi < *f.rssi)
            continue;
        return true;
    }
    return false;
}

FakeAdapter::Delivery FakeAdapter::advert(const std::string& address, const AdvertData& data) {
    if (!env_.impostor) {
        if (!config_.powered || !discovering_)
            return Delivery::NotDiscovering;
        if (!filterAccepts(data))
            return Delivery::Filtered;
    }
    bool sent;
    if (FakeDevice* device = findDevice(address))
        sent = device->emitChanged(device->apply(data)) >= 0;
    else
        sent = addDevice(address, data);
    return sent ? Delivery::Delivered : Delivery::SendFailed;
}

size_t FakeAdapter::releaseRegistrations() {
    std::vector<Registration*> released;
    for (auto& reg : registrations_)
        if (reg->complete)
            released.push_back(reg.get());
    for (auto* reg : released) {
        // Release is declared [noreply]: BlueZ does not wait for an answer.
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(env_.bus, &raw, reg->owner.c_str(), reg->path.c_str(),
                                           kAdvertisementInterface, "Release") >= 0) {
            runtime::MessagePtr m{raw};
            sd_bus_message_set_expect_reply(m.get(), 0);
            sd_bus_send(env_.bus, m.get(), nullptr);
        }
        say("release sent " + reg->owner + " " + reg->path + " adapter=" + config_.name);
        removeRegistration(reg);
    }
    return released.size();
}

const Registration* FakeAdapter::findRegistration(const std::optional<std::string>& localName) const {
    for (auto it = registrations_.rbegin(); it != registrations_.rend(); ++it) {
        const Registration& reg = **it;
        if (reg.complete && (!localName || reg.localName == localName))
            return &reg;
    }
    return nullptr;
}

void FakeAdapter::emitManagerCounts() {
    if (advertisingSlot_)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdvertisingInterface, "SupportedInstances",
                                       "ActiveInstances", nullptr);
}

void FakeAdapter::removeRegistration(Registration* reg) {
    bool wasComplete = reg->complete;
    registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                        [&](const std::unique_ptr<Registration>& r) { return r.get() == reg; }),
                         registrations_.end());
    if (wasComplete)
        emitManagerCounts();
}

void FakeAdapter::finishRegistration(Registration* reg, const char* errorName, const std::string& errorText) {
    reg->readBack.reset();
    runtime::MessagePtr call = std::move(reg->call);
    if (!errorName) {
        reg->complete = true;
        if (call)
            sd_bus_reply_method_return(call.get(), "");
        std::string line = "registered " + reg->owner + " " + reg->path + " type=" + reg->type;
        if (reg->localName)
            line += " name=" + quoteIfSpaced(*reg->localName);
        if (!reg->serviceUuids.empty())
            line += " uuids=" + joined(reg->serviceUuids);
        say(line + " adapter=" + config_.name);
        emitManagerCounts();
        return;
    }
    if (call)
        sd_bus_reply_method_errorf(call.get(), errorName, "%s", errorText.c_str());
    say("refused " + reg->owner + " " + reg->path + " adapter=" + config_.name + " " + errorName + " " + errorText);
    removeRegistration(reg);
}

void FakeAdapter::onReadBack(Registration* reg, sd_bus_message* reply, bool) {
    if (auto problem = readAdvertisement(reply, *reg)) {
        Output::complain("advertisement " + reg->path + " of " + reg->owner + " rejected: " + *problem);
        finishRegistration(reg, kFailed, "Failed to parse advertisement.");
        return;
    }
    switch (env_.refusal) {
        case AdvertisingRefusal::Failed:
            finishRegistration(reg, kFailed, "Failed to register advertisement");
            return;
        case AdvertisingRefusal::InvalidArguments:
            finishRegistration(reg, kInvalidArguments, kInvalidArgumentsText);
            return;
        default:
            finishRegistration(reg, nullptr, "");
    }
}

void FakeAdapter::readBackWithGetAll(Registration* reg) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_call_method_async(env_.bus, &raw, reg->owner.c_str(), reg->path.c_str(),
                                     "org.freedesktop.DBus.Properties", "GetAll", &FakeAdapter::onGetAllReply, reg,
                                     "s", kAdvertisementInterface);
    if (r < 0) {
        finishRegistration(reg, kFailed, "Failed to register advertisement");
        return;
    }
    reg->readBack.reset(raw);
}

int FakeAdapter::onManagedObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reg = static_cast<Registration*>(userdata);
    try {
        // Like BlueZ's D-Bus client, first ask the advertisement's path for an object
        // manager; most clients have none there, and then the properties come from GetAll.
        if (!sd_bus_message_is_method_error(m, nullptr) &&
            sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") >= 0) {
            while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
                const char* path = nullptr;
                if (sd_bus_message_read(m, "o", &path) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
                    break;
                while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
                    const char* iface = nullptr;
                    if (sd_bus_message_read(m, "s", &iface) < 0)
                        break;
                    if (reg->path == path && std::string(iface) == kAdvertisementInterface) {
                        reg->adapter->onReadBack(reg, m, true);
                        return 0;
                    }
                    sd_bus_message_skip(m, "a{sv}");
                    sd_bus_message_exit_container(m);
                }
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            }
        }
        reg->adapter->readBackWithGetAll(reg);
    } catch (...) {
        reg->adapter->finishRegistration(reg, kFailed, "Failed to register advertisement");
    }
    return 0;
}

int FakeAdapter::onGetAllReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reg = static_cast<Registration*>(userdata);
    try {
        if (sd_bus_message_is_method_error(m, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            Output::complain("reading back " + reg->path + " of " + reg->owner + " failed: " +
                             (e && e->name ? e->name : "?") + " " + (e && e->message ? e->message : ""));
            reg->adapter->finishRegistration(reg, kFailed, "Failed to register advertisement");
            return 0;
        }
        reg->adapter->onReadBack(reg, m, false);
    } catch (...) {
        reg->adapter->finishRegistration(reg, kFailed, "Failed to register advertisement");
    }
    return 0;
}

int FakeAdapter::onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("discovery refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        DiscoveryClient& client = self->clients_[sender];
        if (client.discovering) {
            self->say("discovery refused" + where + " " + kInProgress);
            return sd_bus_error_set(error, kInProgress, kInProgressText);
        }
        client.discovering = true;
        // BlueZ answers the call first and then reports Discovering.
        int r = sd_bus_reply_method_return(m, "");
        self->say("discovery start" + where);
        self->setDiscovering(true, false);
        return r < 0 ? r : 1;
    });
}

int FakeAdapter::onStopDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("discovery stop refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        auto it = self->clients_.find(sender);
        if (it == self->clients_.end() || !it->second.discovering) {
            self->say("discovery stop refused" + where + " " + kFailed);
            return sd_bus_error_set(error, kFailed, "No discovery started");
        }
        self->clients_.erase(it);
        int r = sd_bus_reply_method_return(m, "");
        self->say("discovery stop" + where);
        bool anyLeft = std::any_of(self->clients_.begin(), self->clients_.end(),
                                   [](auto& c) { return c.second.discovering; });
        if (!anyLeft)
            self->setDiscovering(false, false);
        return r < 0 ? r : 1;
    });
}

int FakeAdapter::onSetDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("filter refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        DiscoveryFilter filter;
        std::string shown;
        std::string problem;
        bool empty = true;
        int r = sd_bus_message_enter_container(m, 'a', "{sv}");
        if (r < 0)
            return r;
        while (problem.empty() && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            empty = false;
            const char* keyRaw = nullptr;
            if ((r = sd_bus_message_read(m, "s", &keyRaw)) < 0)
                return r;
            std::string key = keyRaw;
            std::string sig = variantSignature(m);
            auto expect = [&](const char* type) {
                if (sig != type)
                    problem = key + " has type " + sig + ", expected " + type;
                return problem.empty();
            };
            if (key == "Transport") {
                const char* v = nullptr;
                if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                    filter.transport = v;
                    if (filter.transport != "auto" && filter.transport != "le" && filter.transport != "bredr")
                        problem = "Transport '" + filter.transport + "' is not auto, le or bredr";
                    shown += " Transport=" + filter.transport;
                }
            } else if (key == "DuplicateData" || key == "Discoverable") {
                int v = 0;
                if (expect("b") && (r = sd_bus_message_read(m, "v", "b", &v)) >= 0) {
                    (key == "DuplicateData" ? filter.duplicateData : filter.discoverable) = v != 0;
                    shown += " " + key + (v ? "=true" : "=false");
                }
            } else if (key == "RSSI") {
                int16_t v = 0;
                if (expect("n") && (r = sd_bus_message_read(m, "v", "n", &v)) >= 0) {
                    filter.rssi = v;
                    if (v < -127 || v > 20)
                        problem = "RSSI " + std::to_string(v) + " is outside -127..20";
                    shown += " RSSI=" + std::to_string(v);
                }
            } else if (key == "Pathloss") {
                uint16_t v = 0;
                if (expect("q") && (r = sd_bus_message_read(m, "v", "q", &v)) >= 0) {
                    filter.pathloss = v;
                    if (v > 137)
                        problem = "Pathloss " + std::to_string(v) + " is above 137";
                    shown += " Pathloss=" + std::to_string(v);
                }
            } else if (key == "UUIDs") {
                std::vector<std::string> uuids;
                if (expect("as") && (r = readStrings(m, uuids)) >= 0) {
                    for (auto& u : uuids) {
                        auto full = fullUuid(u);
                        if (!full)
                            problem = "UUIDs holds '" + u + "', which is not a UUID";
                        else
                            filter.uuids.push_back(*full);
                    }
                    shown += " UUIDs=" + joined(uuids);
                }
            } else if (key == "Pattern") {
                const char* v = nullptr;
                if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                    filter.pattern = v;
                    shown += " Pattern=" + quoteIfSpaced(v);
                }
            } else {
                problem = "unknown key " + key;
            }
            if (r < 0)
                return r;
            if (problem.empty() && (r = sd_bus_message_exit_container(m)) < 0)
                return r;
        }
        if (r < 0)
            return r;
        if (problem.empty() && filter.rssi && filter.pathloss)
            problem = "RSSI and Pathloss together";
        if (!problem.empty()) {
            self->say("filter refused" + where + " " + kInvalidArguments + " " + problem);
            return sd_bus_error_set(error, kInvalidArguments, kInvalidArgumentsText);
        }
        DiscoveryClient& client = self->clients_[sender];
        if (empty) {
            client.filter.reset();
            if (!client.discovering)
                self->clients_.erase(sender);
            self->say("filter cleared" + where);
        } else {
            client.filter = std::move(filter);
            self->say("filter " + sender + shown + " adapter=" + self->config_.name);
        }
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeAdapter::onGetDiscoveryFilters(sd_bus_message* m, void*, sd_bus_error* error) {
    return guarded(error, [&] {
        return sd_bus_reply_method_return(m, "as", 7, "UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                          "Discoverable", "Pattern");
    });
}

int FakeAdapter::onRemoveDevice(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        const char* path = nullptr;
        int r = sd_bus_message_read(m, "o", &path);
        if (r < 0)
            return r;
        for (auto& [address, device] : self->devices_)
            if (device->path() == path) {
                self->say("device removed " + address + " by " + senderOf(m) + " adapter=" + self->config_.name);
                self->removeDevice(std::string(address));
                return sd_bus_reply_method_return(m, "");
            }
        return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
    });
}

int FakeAdapter::onRegisterAdvertisement(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        const char* pathRaw = nullptr;
        int r = sd_bus_message_read(m, "o", &pathRaw);
        if (r < 0)
            return r;
        std::string path = pathRaw;
        std::string sender = senderOf(m);
        std::string where = " " + sender + " " + path + " adapter=" + self->config_.name;
        for (auto& reg : self->registrations_)
            if (reg->owner == sender && reg->path == path) {
                self->say(std::string("refused") + where + " " + kAlreadyExists + " " + kAlreadyExistsText);
                return sd_bus_error_set(error, kAlreadyExists, kAlreadyExistsText);
            }
        if (self->env_.refusal == AdvertisingRefusal::NotPermitted ||
            self->registrations_.size() >= kMaxAdvertisements) {
            self->say(std::string("refused") + where + " " + kNotPermitted + " Maximum advertisements reached");
            return sd_bus_error_set(error, kNotPermitted, "Maximum advertisements reached");
        }
        auto reg = std::make_unique<Registration>();
        reg->adapter = self;
        reg->owner = sender;
        reg->path = path;
        reg->call.reset(sd_bus_message_ref(m));
        // BlueZ answers only after it has read the object back from the caller, so a client
        // that waits for the answer without running its loop never gets one.
        sd_bus_slot* raw = nullptr;
        r = sd_bus_call_method_async(self->env_.bus, &raw, sender.c_str(), path.c_str(),
                                     "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                     &FakeAdapter::onManagedObjectsReply, reg.get(), "");
        if (r < 0)
            return sd_bus_error_set(error, kFailed, "Failed to register advertisement");
        reg->readBack.reset(raw);
        self->registrations_.push_back(std::move(reg));
        return 1;
    });
}

int FakeAdapter::onUnregisterAdvertisement(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        const char* pathRaw = nullptr;
        int r = sd_bus_message_read(m, "o", &pathRaw);
        if (r < 0)
            return r;
        std::string sender = senderOf(m);
        std::string where = " " + sender + " " + pathRaw + " adapter=" + self->config_.name;
        for (auto& reg : self->registrations_)
            if (reg->owner == sender && reg->path == pathRaw) {
                if (reg->call)
                    sd_bus_reply_method_errorf(reg->call.get(), kFailed, "Failed to complete registration");
                self->removeRegistration(reg.get());
                r = sd_bus_reply_method_return(m, "");
                self->say("unregistered" + where);
                return r < 0 ? r : 1;
            }
        self->say(std::string("unregister refused") + where + " " + kDoesNotExist);
        return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
    });
}

int FakeAdapter::getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                             void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    std::string p = property;
    if (p == "Address")
        return sd_bus_message_append(reply, "s", self->config_.address.c_str());
    if (p == "AddressType")
        return sd_bus_message_append(reply, "s", "public");
    if (p == "Name" || p == "Alias")
        return sd_bus_message_append(reply, "s", "fake-bluez");
    if (p == "Class")
        return sd_bus_message_append(reply, "u", 0x6c010cu);
    if (p == "Powered")
        return sd_bus_message_append(reply, "b", self->config_.powered ? 1 : 0);
    if (p == "Discovering")
        return sd_bus_message_append(reply, "b", self->discovering_ ? 1 : 0);
    if (p == "Discoverable")
        return sd_bus_message_append(reply, "b", 0);
    if (p == "Pairable")
        return sd_bus_message_append(reply, "b", 1);
    if (p == "DiscoverableTimeout")
        return sd_bus_message_append(reply, "u", 180u);
    if (p == "PairableTimeout")
        return sd_bus_message_append(reply, "u", 0u);
    if (p == "UUIDs")
        return sd_bus_message_append(reply, "as", 0);
    if (p == "Roles")
        return sd_bus_message_append(reply, "as", 2, "central", "peripheral");
    return -ENOENT;
}

int FakeAdapter::setPoweredProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                                    void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        int on = 0;
        int r = sd_bus_message_read(value, "b", &on);
        if (r < 0)
            return r;
        self->setPowered(on != 0, senderOf(value));
        return 0;
    });
}

int FakeAdapter::getManagerProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                                    void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    std::string p = property;
    size_t active = static_cast<size_t>(std::count_if(self->registrations_.begin(), self->registrations_.end(),
                                                      [](auto& r) { return r->complete; }));
    if (p == "ActiveInstances")
        return sd_bus_message_append(reply, "y", static_cast<uint8_t>(active));
    if (p == "SupportedInstances")
        return sd_bus_message_append(reply, "y", static_cast<uint8_t>(kMaxAdvertisements - active));
    if (p == "SupportedIncludes")
        return sd_bus_message_append(reply, "as", 3, "tx-power", "appearance", "local-name");
    return -ENOENT;
}

}  // namespace brelo::fakebluez
