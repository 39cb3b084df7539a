#pragma once

#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::fakebluez {

class FakeAdapter;

// An adapter's org.bluez.AdvertisementMonitorManager1, offered only in experimental mode
// (bluetoothd -E in BlueZ 5.66). What matters to the kernel is only whether some monitor
// is active: while one is, discovery scans start without the duplicate filter.
class FakeMonitors {
public:
    explicit FakeMonitors(FakeAdapter& adapter);  // exports it in experimental mode

    bool active() const;
    void forgetClient(const std::string& owner);

private:
    // A client's advertisement monitor application (RegisterMonitor).
    struct App {
        FakeMonitors* manager = nullptr;
        std::string owner;
        std::string root;
        bool active = false;
        runtime::SlotPtr readBack;
    };

    void onObjects(App* app, sd_bus_message* reply);
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onUnregister(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                           void* userdata, sd_bus_error*);
    static const sd_bus_vtable vtable_[];

    FakeAdapter& adapter_;
    std::vector<std::unique_ptr<App>> apps_;
    runtime::SlotPtr slot_;
};

}  // namespace brelo::fakebluez
