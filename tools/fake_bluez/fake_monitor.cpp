// The adapter's org.bluez.AdvertisementMonitorManager1, offered only in experimental mode
// (bluetoothd -E in BlueZ 5.66). What matters to the kernel is only whether some monitor
// is active: while one is, discovery scans start without the duplicate filter.
#include <algorithm>
#include <system_error>

#include "adapter_support.h"
#include "fake_adapter.h"

namespace brelo::fakebluez {

const sd_bus_vtable FakeAdapter::monitorVtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterMonitor", "o", "", FakeAdapter::onRegisterMonitor, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UnregisterMonitor", "o", "", FakeAdapter::onUnregisterMonitor, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("SupportedMonitorTypes", "as", FakeAdapter::getMonitorProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("SupportedFeatures", "as", FakeAdapter::getMonitorProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

void FakeAdapter::exportMonitorManager() {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(env_.bus, &raw, path_.c_str(), kMonitorManagerInterface, monitorVtable_, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + path_);
    monitorSlot_.reset(raw);
}

bool FakeAdapter::monitorActive() const {
    return std::any_of(monitors_.begin(), monitors_.end(), [](auto& app) { return app->active; });
}

// Like BlueZ: answered at once, then the application's objects are read from its root and
// each valid monitor is activated.
int FakeAdapter::onRegisterMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& root) {
        std::string sender = senderOf(m);
        for (auto& app : self->monitors_)
            if (app->owner == sender && app->root == root)
                return sd_bus_error_set(error, kAlreadyExists, kAlreadyExistsText);
        auto app = std::make_unique<MonitorApp>();
        app->adapter = self;
        app->owner = sender;
        app->root = root;
        sd_bus_slot* raw = nullptr;
        int r = sd_bus_call_method_async(self->env_.bus, &raw, sender.c_str(), root.c_str(),
                                         "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                         &FakeAdapter::onMonitorObjectsReply, app.get(), "");
        if (r < 0)
            return sd_bus_error_set(error, kFailed, "Failed to register monitor");
        app->readBack.reset(raw);
        self->say("monitor registered " + sender + " " + root + " adapter=" + self->config_.name);
        self->monitors_.push_back(std::move(app));
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeAdapter::onUnregisterMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guardedWithPath(m, error, [&](const std::string& root) {
        std::string sender = senderOf(m);
        auto& apps = self->monitors_;
        auto it =
            std::find_if(apps.begin(), apps.end(), [&](auto& a) { return a->owner == sender && a->root == root; });
        if (it == apps.end())
            return sd_bus_error_set(error, kDoesNotExist, kDoesNotExistText);
        apps.erase(it);
        self->say("monitor unregistered " + sender + " " + root + " adapter=" + self->config_.name);
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeAdapter::onMonitorObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* app = static_cast<MonitorApp*>(userdata);
    try {
        app->readBack.reset();
        app->adapter->onMonitorObjects(app, m);
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

void FakeAdapter::onMonitorObjects(MonitorApp* app, sd_bus_message* m) {
    std::string where = app->owner + " " + app->root + " adapter=" + config_.name;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) {
        say("monitor read failed " + where);
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
                callMonitor(env_.bus, app->owner, path, "Activate");
                say(std::string("monitor activated ") + app->owner + " " + path + " adapter=" + config_.name);
            } else {
                callMonitor(env_.bus, app->owner, path, "Release");
                say(std::string("monitor rejected ") + app->owner + " " + path + " adapter=" + config_.name);
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
}

int FakeAdapter::getMonitorProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                                    void*, sd_bus_error*) {
    if (std::string(property) == "SupportedMonitorTypes")
        return sd_bus_message_append(reply, "as", 1, "or_patterns");
    return sd_bus_message_append(reply, "as", 0);
}

}  // namespace brelo::fakebluez
