#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "runtime/timer_service.h"
#include "script.h"

namespace brelo::fakebluez {

class BluezDouble;
struct Flood;

// The double's script commands (tools/README.md lists them): adapters, devices,
// advertisements, the switches, and the traffic that keeps coming (floods, drifting
// devices, lines repeated on a timer).
class ScriptCommands {
public:
    explicit ScriptCommands(BluezDouble& owner);
    ~ScriptCommands();

    // Carries out one script line. Throws ScriptError for a line it cannot carry out.
    // quiet: repeated lines (every, drift) report nothing but errors.
    Outcome execute(const ScriptLine& line, bool quiet = false);
    // Ends every flood and drifting device: bluetoothd went away, and its devices with it.
    void stopTraffic();

private:
    FakeAdapter& adapterNamed(const std::string& name);
    FakeAdapter& adapterFor(const std::string& address);  // the one holding it, else the first
    void advert(FakeAdapter& adapter, const std::string& address, const AdvertData& data, bool quiet);
    Outcome adapterCommand(const ScriptLine& line);
    Outcome deviceCommand(const ScriptLine& line);
    Outcome switchCommand(const ScriptLine& line);  // deny, adv refuse, dupfilter, restart
    Outcome floodCommand(const ScriptLine& line);
    Outcome driftCommand(const ScriptLine& line);
    Outcome everyCommand(const ScriptLine& line);
    Outcome directCommand(const ScriptLine& line);  // to, call-release

    BluezDouble& double_;
    std::vector<std::unique_ptr<runtime::Timer>> repeats_;  // every
    std::unique_ptr<Flood> flood_;
    std::map<std::string, std::unique_ptr<runtime::Timer>> drifts_;  // by device address
};

}  // namespace brelo::fakebluez
