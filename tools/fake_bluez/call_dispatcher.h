#pragma once

#include <map>
#include <memory>
#include <string>

#include <systemd/sd-bus.h>

namespace brelo::fakebluez {

class FakeAdapter;
struct Env;

// Every method call that reaches the double, on any path: ObjectManager.GetManagedObjects
// on "/", Properties.Get, GetAll and Set (Powered) on the adapters and devices, and the
// adapters' own methods. What no object answers is left to sd-bus, which replies
// UnknownMethod.
class CallDispatcher {
public:
    CallDispatcher(std::map<std::string, std::unique_ptr<FakeAdapter>>& adapters, Env& env)
        : adapters_(adapters), env_(env) {}

    // Answers every method call with the bus policy's AccessDenied while set.
    void setDeny(bool deny) { deny_ = deny; }
    // The sd-bus fallback handler; userdata is the dispatcher.
    static int onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error);

private:
    int dispatch(sd_bus_message* m, sd_bus_error* error);
    int propertyCall(sd_bus_message* m, sd_bus_error* error);
    int managedObjects(sd_bus_message* m);

    std::map<std::string, std::unique_ptr<FakeAdapter>>& adapters_;
    Env& env_;
    bool deny_ = false;
};

}  // namespace brelo::fakebluez
