#include "fake_monitors.h"

#include <algorithm>
#include <system_error>

#include "adapter_support.h"
#include "fake_adapter.h"

namespace brelo::fakebluez {

const sd_bus_vtable FakeMonitors::vtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterMonitor", "o", "", FakeMonitors::onRegister, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UnregisterMonitor", "o", "", FakeMonitors::onUnregister, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("SupportedMonitorTypes", "as", FakeMonitors::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("SupportedFeatures", "as", FakeMonitors::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

FakeMonitors::FakeMonitors(FakeAdapter& adapter) : adapter_(adapter) {
    if (!adapter_.env().experimental)
        return;
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(adapter_.env().bus, &raw, adapter_.path().c_str(), kMonitorManagerInterface,
                                     vtable_, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + adapter_.path());
    slot_.reset(raw);
}

bool FakeMonitors::active() const {
    return std::any_of(apps_.begin(), apps_.end(), [](auto& app) { return app->active; });
}

void FakeMonitors::forgetClient(const std::string& owner) {
    std::erase_if(apps_, [&](auto& app) { return app->owner == owner; });
}

// Like BlueZ: answered at once, then the application's objects are read from its root and
// each valid monitor is activated.
int FakeMonitors::onRegister(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeMonitors*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& root) {
        std::string sender = senderOf(m);
        for (auto& app : self->apps_)
            if (app->owner == sender && app->root == root)
                return sd_bus_error_set(error, kAlreadyExists, kAlreadyExistsText);
        auto app = std::make_unique<App>();
        app->manager = self;
        app->owner = sender;
        app->root = root;
        sd_bus_slot* raw = nullptr;
        int r = sd_bus_call_method_async(self->adapter_.env().bus, &raw, sender.c_str(), root.c_str(),
                                         "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                         &FakeMonitors::onObjectsReply, app.get(), "");
        if (r < 0)
            return sd_bus_error_set(error, kFailed, "Failed to register monitor");
        app->readBack.reset(raw);
        self->adapter_.say("monitor registered " + sender + " " + root + " adapter=" + self->adapter_.config().name);
        self->apps_.push_back(std::move(app));
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeMonitors::onUnregister(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeMonitors*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& root) {
        std::string sender = senderOf(m);
        auto& apps = self->apps_;
        auto it =
            std::find_if(apps.begin(), apps.end(), [&](auto& a) { return a->owner == sender && a->root == root; });
        if (it == apps.end())
            return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
        apps.erase(it);
        self->adapter_.say("monitor unregistered " + sender + " " + root + " adapter=" + self->adapter_.config().name);
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeMonitors::onObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* app = static_cast<App*>(userdata);
    try {
        app->readBack.reset();
        app->manager->onObjects(app, m);
    } catch (...) {
    }
    return 0;
}

namespace {

// Reads one AdvertisementMonitor1's properties: true for an "or_patterns" monitor with at
// least one pattern, as BlueZ requires.
bool validMonitor(sd_bus_message* m) {
    std::string type;
    size_t patterns = 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return false;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0)
            return false;
        std::string k = key;
        if (k == "Type" && variantSignature(m) == "s") {
            const char* t = nullptr;
            if (sd_bus_message_read(m, "v", "s", &t) < 0)
                return false;
            type = t;
        } else if (k == "Patterns" && variantSignature(m) == "a(yyay)") {
            if (sd_bus_message_enter_container(m, 'v', "a(yyay)") < 0 ||
                sd_bus_message_enter_container(m, 'a', "(yyay)") < 0)
                return false;
            while (sd_bus_message_skip(m, "(yyay)") > 0)
                ++patterns;
            if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
                return false;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return false;
        }
        if (sd_bus_message_exit_container(m) < 0)
            return false;
    }
    return sd_bus_message_exit_container(m) >= 0 && type == "or_patterns" && patterns > 0;
}

void callMonitor(sd_bus* bus, const std::string& owner, const std::string& path, const char* member) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, owner.c_str(), path.c_str(), kMonitorInterface, member) < 0)
        return;
    runtime::MessagePtr call{raw};
    sd_bus_message_set_expect_reply(call.get(), 0);  // [noreply], as BlueZ sends it
    sd_bus_send(bus, call.get(), nullptr);
}

}  // namespace

void FakeMonitors::onObjects(App* app, sd_bus_message* m) {
    std::string where = app->owner + " " + app->root + " adapter=" + adapter_.config().name;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) {
        adapter_.say("monitor read failed " + where);
        return;
    }
    while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
        const char* path = nullptr;
        if (sd_bus_message_read(m, "o", &path) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
            return;
        while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
            const char* iface = nullptr;
            if (sd_bus_message_read(m, "s", &iface) < 0)
                return;
            if (std::string(iface) != kMonitorInterface) {
                sd_bus_message_skip(m, "a{sv}");
            } else if (validMonitor(m)) {
                app->active = true;
                callMonitor(adapter_.env().bus, app->owner, path, "Activate");
                adapter_.say("monitor activated " + app->owner + " " + path + " adapter=" + adapter_.config().name);
            } else {
                callMonitor(adapter_.env().bus, app->owner, path, "Release");
                adapter_.say("monitor rejected " + app->owner + " " + path + " adapter=" + adapter_.config().name);
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
}

int FakeMonitors::getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                              void*, sd_bus_error*) {
    if (std::string(property) == "SupportedMonitorTypes")
        return sd_bus_message_append(reply, "as", 1, "or_patterns");
    return sd_bus_message_append(reply, "as", 0);
}

}  // namespace brelo::fakebluez
