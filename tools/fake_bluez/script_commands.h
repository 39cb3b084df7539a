#pragma once

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
// advertisements, the switches, and the traffic that keeps coming (floods, lines repeated on
// a timer).
class ScriptCommands {
public:
    explicit ScriptCommands(BluezDouble& owner);
    ~ScriptCommands();

    // Carries out one script line. Throws ScriptError for a line it cannot carry out.
    // quiet: repeated lines (every) report nothing but errors.
    void execute(const ScriptLine& line, bool quiet = false);

private:
    FakeAdapter& adapterNamed(const std::string& name);
    FakeAdapter& adapterFor(const std::string& address);  // the one holding it, else the first
    void advert(const ScriptLine& line, bool quiet);
    void adapterCommand(const ScriptLine& line);
    void deviceCommand(const ScriptLine& line);
    void switchCommand(const ScriptLine& line);  // deny, adv refuse, dupfilter
    void floodCommand(const ScriptLine& line);
    void everyCommand(const ScriptLine& line);
    void directCommand(const ScriptLine& line);  // to, call-release

    BluezDouble& double_;
    std::vector<std::unique_ptr<runtime::Timer>> repeats_;  // every
    std::unique_ptr<Flood> flood_;
};

}  // namespace brelo::fakebluez
