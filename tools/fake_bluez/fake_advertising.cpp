#include "fake_adapter.h"

#include <algorithm>

#include "adapter_support.h"
#include "advertisement_reader.h"

namespace brelo::fakebluez {


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
        case AdvertisingRefusal::WhileScanning:
            if (!discovering_) {
                finishRegistration(reg, nullptr, "");
                return;
            }
            [[fallthrough]];
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

int FakeAdapter::onRegisterAdvertisement(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& path) {
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
        int r = sd_bus_call_method_async(self->env_.bus, &raw, sender.c_str(), path.c_str(),
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
    return guardedWithPath(m, error, [&](const std::string& path) {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " " + path + " adapter=" + self->config_.name;
        for (auto& reg : self->registrations_)
            if (reg->owner == sender && reg->path == path) {
                if (reg->call)
                    sd_bus_reply_method_errorf(reg->call.get(), kFailed, "Failed to complete registration");
                self->removeRegistration(reg.get());
                int r = sd_bus_reply_method_return(m, "");
                self->say("unregistered" + where);
                return r < 0 ? r : 1;
            }
        self->say(std::string("unregister refused") + where + " " + kDoesNotExist);
        return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
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
