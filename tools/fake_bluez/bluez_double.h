#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "flood.h"
#include "output.h"
#include "runtime/event_loop.h"
#include "runtime/handles.h"
#include "script.h"
#include "script_runner.h"

namespace brelo::fakebluez {

// The BlueZ double: owns org.bluez on the bus it is given, exports the object manager at
// "/" and the adapters, and carries out the driver's script lines. In impostor mode it
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
    Outcome execute(const ScriptLine& line, bool quiet = false);

private:
    void connect();
    void requestName();
    void becomeReady();
    void say(const std::string& text) const { out_.line(text); }

    FakeAdapter& adapterNamed(const std::string& name);
    FakeAdapter& adapterFor(const std::string& address);  // the one holding it, else the first
    AdvertData advertData(const ScriptLine& line) const;
    Delivery sendAdvert(const std::string& adapterName, const std::string& address,
                                     const AdvertData& data, bool quiet, const std::string& label);

    Outcome adapterCommand(const ScriptLine& line);
    Outcome deviceCommand(const ScriptLine& line);
    Outcome advertCommand(const ScriptLine& line, bool quiet);
    Outcome advCommand(const ScriptLine& line);
    Outcome floodCommand(const ScriptLine& line);
    Outcome driftCommand(const ScriptLine& line);
    Outcome everyCommand(const ScriptLine& line);
    Outcome restart(const ScriptLine& line);
    Outcome modeCommand(const ScriptLine& line);
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
    std::vector<std::unique_ptr<runtime::Timer>> repeats_;  // every
    // Declaration order is destruction order in reverse: the adapters, the traffic that
    // feeds them and the slots go before the connection they live on.
    runtime::BusPtr bus_;
    runtime::SlotPtr objectManager_;
    runtime::SlotPtr incomingFilter_;
    runtime::SlotPtr ownerWatch_;
    runtime::SlotPtr nameRequest_;
    std::map<std::string, std::unique_ptr<FakeAdapter>> adapters_;
    std::unique_ptr<Flood> flood_;
    std::map<std::string, std::unique_ptr<runtime::Timer>> drifts_;  // by device address
};

}  // namespace brelo::fakebluez
