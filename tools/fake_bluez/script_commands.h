#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "flood.h"
#include "runtime/timer_service.h"
#include "script.h"
#include "script_runner.h"

namespace brelo::fakebluez {

class BluezDouble;

// The double's script commands: adapters, devices, advertisements and the traffic that
// keeps coming (floods, drifting devices, lines repeated on a timer).
class ScriptCommands {
public:
    explicit ScriptCommands(BluezDouble& owner) : double_(owner) {}

    // Carries out one script line. Throws ScriptError for a line it cannot carry out.
    // quiet: repeated lines (every, drift) report nothing but errors.
    Outcome execute(const ScriptLine& line, bool quiet = false);
    // Ends every flood and drifting device: bluetoothd went away, and its devices with it.
    // Lines repeated with every go on.
    void stopTraffic();

private:
    void say(const std::string& text) const;
    FakeAdapter& adapterNamed(const std::string& name);
    FakeAdapter& adapterFor(const std::string& address);  // the one holding it, else the first
    AdvertData advertData(const ScriptLine& line) const;
    Delivery sendAdvert(const std::string& adapterName, const std::string& address, const AdvertData& data,
                        bool quiet, const std::string& label);
    Outcome adapterCommand(const ScriptLine& line);
    Outcome deviceCommand(const ScriptLine& line);
    Outcome advertCommand(const ScriptLine& line, bool quiet);
    Outcome advCommand(const ScriptLine& line);
    Outcome floodCommand(const ScriptLine& line);
    Outcome driftCommand(const ScriptLine& line);
    Outcome everyCommand(const ScriptLine& line);

    BluezDouble& double_;
    std::vector<std::unique_ptr<runtime::Timer>> repeats_;  // every
    std::unique_ptr<Flood> flood_;
    std::map<std::string, std::unique_ptr<runtime::Timer>> drifts_;  // by device address
};

}  // namespace brelo::fakebluez
