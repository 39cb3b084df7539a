#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "runtime/event_loop.h"
#include "runtime/handles.h"
#include "script.h"
#include "script_commands.h"

namespace brelo::fakebluez {

// The BlueZ double: owns org.bluez on the bus it is given, answers the calls BlueZ answers
// for "/", the adapters and their devices, and carries out the driver's script lines
// (ScriptCommands). In impostor mode it takes no name and sends the same signals from a
// connection that does not own org.bluez, which a well-behaved client must ignore.
class BluezDouble {
public:
    struct Options {
        std::string busAddress;
        bool impostor = false;
    };
    using Say = std::function<void(const std::string&)>;

    BluezDouble(runtime::EventLoop& loop, Say say, Options options);
    ~BluezDouble();
    BluezDouble(const BluezDouble&) = delete;
    BluezDouble& operator=(const BluezDouble&) = delete;

    // Connects (throws when it cannot) and asks for org.bluez. onReady runs whenever the
    // double is ready for script lines: once the name is ours, and again after a restart.
    void start(std::function<void()> onReady);
    // Carries out one script line; throws ScriptError for a line it cannot carry out.
    Outcome execute(const ScriptLine& line) { return commands_.execute(line); }

    // For the script commands.
    runtime::EventLoop& loop() { return loop_; }
    Env& env() { return env_; }
    std::map<std::string, std::unique_ptr<FakeAdapter>>& adapters() { return adapters_; }
    void say(const std::string& text) const { env_.say(text); }
    // Answers every method call with the bus policy's AccessDenied while set.
    void setDeny(bool deny) { deny_ = deny; }
    // bluetoothd stops and comes back after `seconds` with its adapters; when advertisingLateS
    // is set, their advertising managers come that much later.
    void restart(double seconds, std::optional<double> advertisingLateS);

private:
    void connect();
    void comeBack();
    int dispatch(sd_bus_message* m, sd_bus_error* error);
    int propertyCall(sd_bus_message* m, sd_bus_error* error);
    int managedObjects(sd_bus_message* m);

    static int onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error);

    runtime::EventLoop& loop_;
    Options options_;
    std::function<void()> onReady_;
    bool deny_ = false;
    std::vector<AdapterConfig> comeBack_;  // adapters a restarted daemon brings back
    std::optional<double> advertisingLateS_;
    std::vector<std::unique_ptr<runtime::Timer>> restartTimers_;
    Env env_;
    // Declaration order is destruction order in reverse: the adapters and the traffic that
    // feeds them go before the slots and the connection they live on.
    runtime::BusPtr bus_;
    std::vector<runtime::SlotPtr> slots_;
    std::map<std::string, std::unique_ptr<FakeAdapter>> adapters_;
    ScriptCommands commands_{*this};
};

}  // namespace brelo::fakebluez
