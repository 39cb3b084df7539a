#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "output.h"
#include "runtime/event_loop.h"
#include "runtime/handles.h"
#include "script.h"
#include "script_commands.h"
#include "script_runner.h"

namespace brelo::fakebluez {

// The BlueZ double: owns org.bluez on the bus it is given, exports the object manager at
// "/" and the adapters, and carries out the driver's script lines (ScriptCommands). In impostor mode it
// takes no name and sends the same signals from a connection that does not own org.bluez,
// which a well-behaved client must ignore.
class BluezDouble {
public:
    struct Options {
        std::string busAddress;
        bool impostor = false;
    };

    BluezDouble(runtime::EventLoop& loop, Output& out, Options options);
    ~BluezDouble();
    BluezDouble(const BluezDouble&) = delete;
    BluezDouble& operator=(const BluezDouble&) = delete;

    // Connects (throws when it cannot) and asks for org.bluez. onReady runs whenever the
    // double is ready for script lines: once the name is ours, and again after a restart.
    void start(std::function<void()> onReady);

    // Carries out one script line. Throws ScriptError for a line it cannot carry out.
    // quiet: repeated lines (every, drift) report nothing but errors.
    Outcome execute(const ScriptLine& line, bool quiet = false) { return commands_.execute(line, quiet); }

    // For the script commands.
    runtime::EventLoop& loop() { return loop_; }
    Output& out() { return out_; }
    BusEnv& env() { return env_; }
    std::map<std::string, std::unique_ptr<FakeAdapter>>& adapters() { return adapters_; }
    void say(const std::string& text) const { out_.line(text); }
    // Answers every method call with the bus policy's AccessDenied while set.
    void setDeny(bool deny) { deny_ = deny; }
    // bluetoothd stops, and comes back after a while with its adapters.
    Outcome restart(const ScriptLine& line);
    // dupfilter and experimental: how the kernel and bluetoothd behave from now on.
    Outcome modeCommand(const ScriptLine& line);

private:
    void connect();
    void requestName();
    void becomeReady();
    void comeBack();

    static int onNameReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onIncoming(sd_bus_message* m, void* userdata, sd_bus_error* error);

    runtime::EventLoop& loop_;
    Output& out_;
    Options options_;
    std::function<void()> onReady_;
    bool deny_ = false;
    std::vector<AdapterConfig> comeBack_;  // adapters a restarted daemon brings back
    // How they come back: this long after the name is taken, in reverse order when asked,
    // and with the advertising manager this much later when set.
    double publishS_ = 0;
    bool publishReversed_ = false;
    std::optional<double> advertisingLateS_;
    std::unique_ptr<runtime::Timer> publishTimer_;
    std::unique_ptr<runtime::Timer> lateTimer_;
    BusEnv env_;
    std::unique_ptr<runtime::Timer> restartTimer_;
    // Declaration order is destruction order in reverse: the adapters, the traffic that
    // feeds them and the slots go before the connection they live on.
    runtime::BusPtr bus_;
    runtime::SlotPtr objectManager_;
    runtime::SlotPtr incomingFilter_;
    runtime::SlotPtr ownerWatch_;
    runtime::SlotPtr nameRequest_;
    std::map<std::string, std::unique_ptr<FakeAdapter>> adapters_;
    // Last: the traffic that feeds the adapters stops first.
    ScriptCommands commands_{*this};
};

}  // namespace brelo::fakebluez
