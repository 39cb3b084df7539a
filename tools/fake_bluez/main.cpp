// fake-bluez: a stand-in for bluetoothd on a private D-Bus, driven by a line script.
// See tools/README.md for the script language and the lines it prints.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

#include "bluez_double.h"
#include <fstream>
#include <sstream>

#include "script_reader.h"

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
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--bus" || a == "--script") && i + 1 < argc) {
            (a == "--bus" ? options.busAddress : scripts.emplace_back()) = argv[++i];
        } else if (a == "--impostor") {
            options.impostor = true;
        } else {
            std::cerr << (a == "--help" || a == "-h" ? "" : "fake-bluez: unknown argument '" + a + "'\n") << kUsage;
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    // Never the machine's own system bus: the double is for private buses.
    const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (options.busAddress.empty() && (!env || !*env)) {
        std::cerr << "fake-bluez: no bus: set DBUS_SYSTEM_BUS_ADDRESS or pass --bus ADDRESS\n";
        return 2;
    }
    if (options.busAddress.empty())
        options.busAddress = env;
    try {
        brelo::runtime::EventLoop loop;
        BluezDouble fake(loop, [](const std::string& line) { std::cout << line << std::endl; }, options);
        std::vector<std::pair<std::string, std::string>> texts;  // each script file, whole
        for (auto& path : scripts) {
            std::ifstream in(path);
            std::ostringstream text;
            if (!in) {
                std::cerr << "fake-bluez: cannot read script " << path << "\n";
                return 2;
            }
            text << in.rdbuf();
            texts.emplace_back(path, text.str() + "\n");
        }
        ScriptReader input(loop, fake, "stdin");
        fake.start([&] {
            for (auto& [path, text] : texts)
                ScriptReader(loop, fake, path).take(text);
            input.watch(STDIN_FILENO);
        });
        const int code = loop.run();
        if (code != 0)
            std::cerr << "fake-bluez: stopped: the bus connection is gone or org.bluez could not be owned\n";
        return code;
    } catch (const std::exception& e) {
        std::cerr << "fake-bluez: " << e.what() << "\n";
        return 1;
    }
}
