#include "fake_advertising.h"

#include <algorithm>
#include <iostream>

#include "fake_adapter.h"
#include "script.h"

namespace brelo::fakebluez {
namespace {

constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";
constexpr const char* kFailed = "org.bluez.Error.Failed";
constexpr const char* kCannotRegister = "Failed to register advertisement";
// Controllers offer a handful of advertising instances; a sixth registration is refused.
constexpr size_t kMaxAdvertisements = 5;

// LEAdvertisement1's properties read the way BlueZ's parsers do: a known property of the
// wrong type fails the registration, unknown ones are ignored. Returns what was wrong, or
// the journal's words for what was read.
bool parseAdvertisement(const Entries& entries, std::string& text) {
    static const std::map<std::string, std::string> kTypes = {
        {"Type", "s"},         {"ServiceUUIDs", "as"}, {"SolicitUUIDs", "as"},   {"ManufacturerData", "a{qv}"},
        {"ServiceData", "a{sv}"}, {"Includes", "as"},  {"LocalName", "s"},       {"Appearance", "q"},
        {"Duration", "q"},     {"Timeout", "q"},       {"Discoverable", "b"},    {"DiscoverableTimeout", "q"},
        {"MinInterval", "u"},  {"MaxInterval", "u"},   {"TxPower", "n"},         {"SecondaryChannel", "s"},
    };
    std::string type = "broadcast", name, uuids;
    bool discoverable = false;
    for (auto& [key, entry] : entries) {
        auto expected = kTypes.find(key);
        if (expected == kTypes.end())
            continue;
        if (expected->second != entry.signature || (!entry.value && key != "ServiceData"))
            return text = key + " has type " + entry.signature + " or a value that is not a byte array", false;
        if (key == "Type") {
            type = std::get<std::string>(*entry.value);
            if (type != "broadcast" && type != "peripheral")
                return text = "Type '" + type + "' is neither broadcast nor peripheral", false;
        } else if (key == "LocalName") {
            name = std::get<std::string>(*entry.value);  // BlueZ treats an empty name as none
        } else if (key == "ServiceUUIDs" || key == "SolicitUUIDs") {
            for (auto& u : std::get<Strings>(*entry.value))
                if (!fullUuid(u))
                    return text = key + " holds '" + u + "', which is not a UUID", false;
            if (key == "ServiceUUIDs")
                uuids = shown(*entry.value);
        } else if (key == "Discoverable") {
            discoverable = std::get<bool>(*entry.value);
        }
    }
    if (type == "broadcast" && discoverable)
        return text = "Broadcast cannot set flags", false;
    text = "type=" + type + (name.empty() ? "" : " name=" + shown(name)) + (uuids.empty() ? "" : " uuids=" + uuids);
    return true;
}

}  // namespace

FakeAdvertising::FakeAdvertising(FakeAdapter& adapter)
    : adapter_(adapter), offered_(adapter.config().advertisingManager) {}

size_t FakeAdvertising::active() const {
    return static_cast<size_t>(std::count_if(registrations_.begin(), registrations_.end(),
                                             [](auto& r) { return r->complete; }));
}

Properties FakeAdvertising::properties() const {
    return {{"ActiveInstances", static_cast<uint8_t>(active())},
            {"SupportedInstances", static_cast<uint8_t>(kMaxAdvertisements - active())},
            {"SupportedIncludes", Strings{"tx-power", "appearance", "local-name"}}};
}

void FakeAdvertising::remove(Registration* reg) {
    const bool counted = reg->complete;
    std::erase_if(registrations_, [&](auto& r) { return r.get() == reg; });
    if (counted)
        emitPropertiesChanged(adapter_.env().bus, adapter_.path(), kAdvertisingInterface, properties());
}

void FakeAdvertising::forgetClient(const std::string& owner) {
    std::vector<Registration*> gone;
    for (auto& reg : registrations_)
        if (reg->owner == owner)
            gone.push_back(reg.get());
    for (auto* reg : gone) {
        adapter_.say("unregistered " + owner + " " + reg->path + " adapter=" + adapter_.config().name +
                     " (client gone)");
        remove(reg);
    }
}

size_t FakeAdvertising::releaseAll() {
    std::vector<Registration*> released;
    for (auto& reg : registrations_)
        if (reg->complete)
            released.push_back(reg.get());
    for (auto* reg : released) {
        // Release is declared [noreply]: BlueZ does not wait for an answer.
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(adapter_.env().bus, &raw, reg->owner.c_str(), reg->path.c_str(),
                                           kAdvertisementInterface, "Release") >= 0) {
            runtime::MessagePtr m{raw};
            sd_bus_message_set_expect_reply(raw, 0);
            sd_bus_send(adapter_.env().bus, raw, nullptr);
        }
        adapter_.say("release sent " + reg->owner + " " + reg->path + " adapter=" + adapter_.config().name);
        remove(reg);
    }
    return released.size();
}

void FakeAdvertising::finish(Registration* reg, const char* errorName, const std::string& text) {
    reg->readBack.reset();
    runtime::MessagePtr call = std::move(reg->call);
    const std::string where = reg->owner + " " + reg->path + " adapter=" + adapter_.config().name;
    if (!errorName) {
        reg->complete = true;
        if (call)
            sd_bus_reply_method_return(call.get(), "");
        adapter_.say("registered " + reg->owner + " " + reg->path + " " + text + " adapter=" + adapter_.config().name);
        emitPropertiesChanged(adapter_.env().bus, adapter_.path(), kAdvertisingInterface, properties());
        return;
    }
    if (call)
        sd_bus_reply_method_errorf(call.get(), errorName, "%s", text.c_str());
    adapter_.say("refused " + where + " " + errorName + " " + text);
    remove(reg);
}

void FakeAdvertising::readBack(Registration* reg, sd_bus_message* properties) {
    Entries entries;
    std::string text;
    if (readEntries(properties, entries) < 0 || !parseAdvertisement(entries, text)) {
        std::cerr << "fake-bluez: advertisement " << reg->path << " of " << reg->owner << " rejected: " << text << "\n";
        return finish(reg, kFailed, "Failed to parse advertisement.");
    }
    if (adapter_.env().refusal == AdvertisingRefusal::Failed)
        return finish(reg, kFailed, kCannotRegister);
    finish(reg, nullptr, text);
}

void FakeAdvertising::askGetAll(Registration* reg) {
    sd_bus_slot* raw = nullptr;
    if (sd_bus_call_method_async(adapter_.env().bus, &raw, reg->owner.c_str(), reg->path.c_str(),
                                 "org.freedesktop.DBus.Properties", "GetAll", &FakeAdvertising::onGetAll, reg, "s",
                                 kAdvertisementInterface) < 0)
        return finish(reg, kFailed, kCannotRegister);
    reg->readBack.reset(raw);
}

// First the advertisement's path as an object manager; most clients have none there, and
// then the properties come from GetAll.
int FakeAdvertising::onManagedObjects(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reg = static_cast<Registration*>(userdata);
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") >= 0)
        while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
            const char* path = nullptr;
            if (sd_bus_message_read(m, "o", &path) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
                break;
            while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
                const char* interface = nullptr;
                if (sd_bus_message_read(m, "s", &interface) < 0)
                    break;
                if (reg->path == path && std::string(interface) == kAdvertisementInterface) {
                    reg->manager->readBack(reg, m);
                    return 0;
                }
                sd_bus_message_skip(m, "a{sv}");
                sd_bus_message_exit_container(m);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
        }
    reg->manager->askGetAll(reg);
    return 0;
}

int FakeAdvertising::onGetAll(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reg = static_cast<Registration*>(userdata);
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        std::cerr << "fake-bluez: reading back " << reg->path << " of " << reg->owner
                  << " failed: " << (e->name ? e->name : "?") << "\n";
        reg->manager->finish(reg, kFailed, kCannotRegister);
    } else {
        reg->manager->readBack(reg, m);
    }
    return 0;
}

int FakeAdvertising::registerAdvertisement(sd_bus_message* m, sd_bus_error* error) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read(m, "o", &path); r < 0)
        return r;
    const std::string sender = senderOf(m);
    const std::string where = sender + " " + path + " adapter=" + adapter_.config().name;
    for (auto& reg : registrations_)
        if (reg->owner == sender && reg->path == path) {
            adapter_.say("refused " + where + " org.bluez.Error.AlreadyExists Already Exists");
            return sd_bus_error_set(error, "org.bluez.Error.AlreadyExists", "Already Exists");
        }
    if (adapter_.env().refusal == AdvertisingRefusal::NotPermitted || registrations_.size() >= kMaxAdvertisements) {
        adapter_.say("refused " + where + " org.bluez.Error.NotPermitted Maximum advertisements reached");
        return sd_bus_error_set(error, "org.bluez.Error.NotPermitted", "Maximum advertisements reached");
    }
    auto reg = std::make_unique<Registration>();
    reg->manager = this, reg->owner = sender, reg->path = path;
    reg->call.reset(sd_bus_message_ref(m));
    sd_bus_slot* raw = nullptr;
    if (sd_bus_call_method_async(adapter_.env().bus, &raw, sender.c_str(), path, "org.freedesktop.DBus.ObjectManager",
                                 "GetManagedObjects", &FakeAdvertising::onManagedObjects, reg.get(), "") < 0)
        return sd_bus_error_set(error, kFailed, kCannotRegister);
    reg->readBack.reset(raw);
    registrations_.push_back(std::move(reg));
    return 1;
}

int FakeAdvertising::unregister(sd_bus_message* m, sd_bus_error* error) {
    const char* path = nullptr;
    if (int r = sd_bus_message_read(m, "o", &path); r < 0)
        return r;
    const std::string sender = senderOf(m);
    const std::string where = " " + sender + " " + path + " adapter=" + adapter_.config().name;
    for (auto& reg : registrations_)
        if (reg->owner == sender && reg->path == path) {
            if (reg->call)
                sd_bus_reply_method_errorf(reg->call.get(), kFailed, "Failed to complete registration");
            remove(reg.get());
            adapter_.say("unregistered" + where);
            return sd_bus_reply_method_return(m, "");
        }
    adapter_.say("unregister refused" + where + " org.bluez.Error.DoesNotExist");
    return sd_bus_error_set(error, "org.bluez.Error.DoesNotExist", "Does Not Exist");
}

}  // namespace brelo::fakebluez
