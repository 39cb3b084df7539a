#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "runtime/handles.h"

namespace brelo::test {

using namespace std::chrono_literals;

// A small sd-bus client for talking to fake-bluez from a test: calls, property reads and a
// record of the signals org.bluez sends. Runs only when the test pumps it.
class BusClient {
public:
    struct Result {
        std::string error;    // D-Bus error name, empty on success
        std::string message;  // its text
        runtime::MessagePtr reply;
        bool ok() const { return error.empty(); }
    };
    // A signal as a line of text: member, path, then what it carried (property names).
    using Append = std::function<int(sd_bus_message*)>;

    explicit BusClient(const std::string& address);

    sd_bus* bus() const { return bus_.get(); }
    std::string uniqueName() const;

    // Calls org.bluez and keeps processing the bus while waiting, so that objects this
    // client exports can answer calls made in the meantime (as BlueZ makes them).
    Result call(const std::string& path, const std::string& interface, const std::string& member,
                const Append& append = {}, const std::string& destination = "org.bluez");
    // A property of org.bluez as text (see describeVariant).
    std::string property(const std::string& path, const std::string& interface, const std::string& name);

    // Records every signal from `sender` (a name or unique name; empty: any) from now on.
    void recordSignals(const std::string& sender = "");
    const std::vector<std::string>& signals() const { return signals_; }
    // Processes the bus until pred holds or the timeout passes.
    bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s);

    // Reads the variant at the read position as text: strings and paths as they are,
    // booleans as true/false, numbers in decimal, string arrays joined by commas, byte
    // arrays in hex, anything else as its signature in angle brackets.
    static std::string describeVariant(sd_bus_message* m);

private:
    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error* error);

    runtime::BusPtr bus_;
    std::vector<runtime::SlotPtr> matches_;
    std::vector<std::string> signals_;
};

// GetManagedObjects of org.bluez: path -> interface -> property -> value as text.
using ManagedObjects = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;
ManagedObjects managedObjects(BusClient& client);

}  // namespace brelo::test
