#include "fake_advertising.h"

#include <system_error>

#include "fake_adapter.h"

#include <algorithm>

#include "adapter_support.h"
#include "advertisement_reader.h"

namespace brelo::fakebluez {


const sd_bus_vtable FakeAdvertising::vtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterAdvertisement", "oa{sv}", "", FakeAdvertising::onRegister,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UnregisterAdvertisement", "o", "", FakeAdvertising::onUnregister,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("ActiveInstances", "y", FakeAdvertising::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("SupportedInstances", "y", FakeAdvertising::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("SupportedIncludes", "as", FakeAdvertising::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

FakeAdvertising::FakeAdvertising(FakeAdapter& adapter) : adapter_(adapter) {
    if (adapter_.config().advertisingManager)
        exportManager();
}

void FakeAdvertising::exportManager() {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(adapter_.env().bus, &raw, adapter_.path().c_str(), kAdvertisingInterface,
                                     vtable_, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + adapter_.path());
    slot_.reset(raw);
}

void FakeAdvertising::addLate() {
    if (slot_)
        return;
    exportManager();
    sd_bus_emit_interfaces_added(adapter_.env().bus, adapter_.path().c_str(), kAdvertisingInterface, nullptr);
    adapter_.say("advertising manager added " + adapter_.config().name);
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
            sd_bus_message_set_expect_reply(m.get(), 0);
            sd_bus_send(adapter_.env().bus, m.get(), nullptr);
        }
        adapter_.say("release sent " + reg->owner + " " + reg->path + " adapter=" + adapter_.config().name);
        remove(reg);
    }
    return released.size();
}

void FakeAdvertising::emitCounts() {
    if (slot_)
        sd_bus_emit_properties_changed(adapter_.env().bus, adapter_.path().c_str(), kAdvertisingInterface,
                                       "SupportedInstances",
                                       "ActiveInstances", nullptr);
}

void FakeAdvertising::remove(Registration* reg) {
    bool wasComplete = reg->complete;
    registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                        [&](const std::unique_ptr<Registration>& r) { return r.get() == reg; }),
                         registrations_.end());
    if (wasComplete)
        emitCounts();
}

void FakeAdvertising::finish(Registration* reg, const char* errorName, const std::string& errorText) {
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
        adapter_.say(line + " adapter=" + adapter_.config().name);
        emitCounts();
        return;
    }
    if (call)
        sd_bus_reply_method_errorf(call.get(), errorName, "%s", errorText.c_str());
    adapter_.say("refused " + reg->owner + " " + reg->path + " adapter=" + adapter_.config().name + " " + errorName +
                 " " + errorText);
    remove(reg);
}

void FakeAdvertising::onReadBack(Registration* reg, sd_bus_message* reply) {
    if (auto problem = readAdvertisement(reply, *reg)) {
        Output::complain("advertisement " + reg->path + " of " + reg->owner + " rejected: " + *problem);
        finish(reg, kFailed, "Failed to parse advertisement.");
        return;
    }
    switch (adapter_.env().refusal) {
        case AdvertisingRefusal::WhileScanning:
            if (!adapter_.discovery().discovering()) {
                finish(reg, nullptr, "");
                return;
            }
            [[fallthrough]];
        case AdvertisingRefusal::Failed:
            finish(reg, kFailed, "Failed to register advertisement");
            return;
        case AdvertisingRefusal::InvalidArguments:
            finish(reg, kInvalidArguments, kInvalidArgumentsText);
            return;
        default:
            finish(reg, nullptr, "");
    }
}

void FakeAdvertising::readBackWithGetAll(Registration* reg) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_call_method_async(adapter_.env().bus, &raw, reg->owner.c_str(), reg->path.c_str(),
                                     "org.freedesktop.DBus.Properties", "GetAll", &FakeAdvertising::onGetAllReply, reg,
                                     "s", kAdvertisementInterface);
    if (r < 0) {
        finish(reg, kFailed, "Failed to register advertisement");
        return;
    }
    reg->readBack.reset(raw);
}

int FakeAdvertising::onManagedObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
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
                        reg->manager->onReadBack(reg, m);
                        return 0;
                    }
                    sd_bus_message_skip(m, "a{sv}");
                    sd_bus_message_exit_container(m);
                }
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            }
        }
        reg->manager->readBackWithGetAll(reg);
    } catch (...) {
        reg->manager->finish(reg, kFailed, "Failed to register advertisement");
    }
    return 0;
}

int FakeAdvertising::onGetAllReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reg = static_cast<Registration*>(userdata);
    try {
        if (sd_bus_message_is_method_error(m, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            Output::complain("reading back " + reg->path + " of " + reg->owner + " failed: " +
                             (e && e->name ? e->name : "?") + " " + (e && e->message ? e->message : ""));
            reg->manager->finish(reg, kFailed, "Failed to register advertisement");
            return 0;
        }
        reg->manager->onReadBack(reg, m);
    } catch (...) {
        reg->manager->finish(reg, kFailed, "Failed to register advertisement");
    }
    return 0;
}

int FakeAdvertising::onRegister(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdvertising*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& path) {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " " + path + " adapter=" + self->adapter_.config().name;
        for (auto& reg : self->registrations_)
            if (reg->owner == sender && reg->path == path) {
                self->adapter_.say(std::string("refused") + where + " " + kAlreadyExists + " " + kAlreadyExistsText);
                return sd_bus_error_set(error, kAlreadyExists, kAlreadyExistsText);
            }
        if (self->adapter_.env().refusal == AdvertisingRefusal::NotPermitted ||
            self->registrations_.size() >= kMaxAdvertisements) {
            self->adapter_.say(std::string("refused") + where + " " + kNotPermitted +
                               " Maximum advertisements reached");
            return sd_bus_error_set(error, kNotPermitted, "Maximum advertisements reached");
        }
        auto reg = std::make_unique<Registration>();
        reg->manager = self;
        reg->owner = sender;
        reg->path = path;
        reg->call.reset(sd_bus_message_ref(m));
        // BlueZ answers only after it has read the object back from the caller, so a client
        // that waits for the answer without running its loop never gets one.
        sd_bus_slot* raw = nullptr;
        int r = sd_bus_call_method_async(self->adapter_.env().bus, &raw, sender.c_str(), path.c_str(),
                                         "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                         &FakeAdvertising::onManagedObjectsReply, reg.get(), "");
        if (r < 0)
            return sd_bus_error_set(error, kFailed, "Failed to register advertisement");
        reg->readBack.reset(raw);
        self->registrations_.push_back(std::move(reg));
        return 1;
    });
}

int FakeAdvertising::onUnregister(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdvertising*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& path) {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " " + path + " adapter=" + self->adapter_.config().name;
        for (auto& reg : self->registrations_)
            if (reg->owner == sender && reg->path == path) {
                if (reg->call)
                    sd_bus_reply_method_errorf(reg->call.get(), kFailed, "Failed to complete registration");
                self->remove(reg.get());
                int r = sd_bus_reply_method_return(m, "");
                self->adapter_.say("unregistered" + where);
                return r < 0 ? r : 1;
            }
        self->adapter_.say(std::string("unregister refused") + where + " " + kDoesNotExist);
        return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
    });
}

int FakeAdvertising::getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                                 void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeAdvertising*>(userdata);
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
