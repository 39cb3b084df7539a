// fake-bluez: a stand-in for bluetoothd on a private D-Bus, driven by a line script.
// See tools/README.md for the script language and the lines it prints.

#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bluez_double.h"
#include "output.h"
#include "runtime/event_loop.h"
#include "script_runner.h"

namespace {

constexpr const char* kUsage =
    "usage: fake-bluez [--bus ADDRESS] [--script FILE]... [--impostor]\n"
    "  Owns org.bluez on the bus at ADDRESS (default: $DBUS_SYSTEM_BUS_ADDRESS) and follows\n"
    "  the script: first the files, then standard input. --impostor: take no name and send\n"
    "  the same signals from a connection that is not org.bluez.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace brelo::fakebluez;
    std::signal(SIGPIPE, SIG_IGN);

    BluezDouble::Options options;
    std::vector<std::string> scripts;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--bus" || a == "--script") && i + 1 < args.size()) {
            (a == "--bus" ? options.busAddress : scripts.emplace_back()) = args[++i];
        } else if (a == "--impostor") {
            options.impostor = true;
        } else if (a == "--help" || a == "-h") {
            Output::complain(std::string("\n") + kUsage);
            return 0;
        } else {
            Output::complain("unknown argument '" + a + "'\n" + kUsage);
            return 2;
        }
    }
    if (options.busAddress.empty()) {
        const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        // Never fall back to the machine's own system bus: the double is for private buses.
        if (!env || !*env) {
            Output::complain("no bus: set DBUS_SYSTEM_BUS_ADDRESS or pass --bus ADDRESS");
            return 2;
        }
        options.busAddress = env;
    }

    try {
        brelo::runtime::EventLoop loop;
        Output out;
        out.attach(loop.get());
        BluezDouble fake(loop, out, options);
        ScriptRunner runner(loop, [&fake](const ScriptLine& line) { return fake.execute(line); });
        for (auto& path : scripts) {
            std::string error;
            if (!runner.addFile(path, error)) {
                Output::complain(error);
                return 2;
            }
        }
        fake.start([&runner] { runner.resume(); });
        runner.watchStdin();
        int code = loop.run();
        out.drain();
        if (code != 0)
            Output::complain("stopped: the bus connection is gone or org.bluez could not be owned");
        return code;
    } catch (const std::exception& e) {
        Output::complain(e.what());
        return 1;
    }
}
