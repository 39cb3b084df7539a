#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "call_dispatcher.h"
#include "fake_adapter.h"
#include "runtime/event_loop.h"
#include "runtime/handles.h"
#include "script.h"
#include "script_commands.h"

namespace brelo::fakebluez {

// The BlueZ double: owns org.bluez on the bus it is given, answers the calls BlueZ answers
// for "/", the adapters and their devices (CallDispatcher), and carries out the driver's
// script lines (ScriptCommands). In impostor mode it takes no name and sends the same signals from a
// connection that does not own org.bluez, which a well-behaved client must ignore.
class BluezDouble {
public:
    struct Options {
        std::string busAddress;
        bool impostor = false;
    };
    using Say = std::function<void(const std::string&)>;

    BluezDouble(runtime::EventLoop& loop, Say say, Options options);
    BluezDouble(const BluezDouble&) = delete;
    BluezDouble& operator=(const BluezDouble&) = delete;

    // Connects (throws when it cannot) and asks for org.bluez; onReady runs once the name is
    // ours and the double is ready for script lines.
    void start(std::function<void()> onReady);
    // Carries out one script line; throws ScriptError for a line it cannot carry out.
    void execute(const ScriptLine& line) { commands_.execute(line); }

    // For the script commands.
    runtime::EventLoop& loop() { return loop_; }
    Env& env() { return env_; }
    std::map<std::string, std::unique_ptr<FakeAdapter>>& adapters() { return adapters_; }
    void say(const std::string& text) const { env_.say(text); }
    CallDispatcher& calls() { return calls_; }

private:
    void connect();

    static int onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*);

    runtime::EventLoop& loop_;
    Options options_;
    std::function<void()> onReady_;
    Env env_;
    // Declaration order is destruction order in reverse: the adapters and the traffic that
    // feeds them go before the slots and the connection they live on.
    runtime::BusPtr bus_;
    std::vector<runtime::SlotPtr> slots_;
    std::map<std::string, std::unique_ptr<FakeAdapter>> adapters_;
    CallDispatcher calls_{adapters_, env_};
    ScriptCommands commands_{*this};
};

}  // namespace brelo::fakebluez
