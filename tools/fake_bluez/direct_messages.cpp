#include "direct_messages.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "runtime/handles.h"

namespace brelo::fakebluez {
namespace {

void check(int r, const char* what) {
    if (r < 0)
        throw ScriptError(std::string(what) + " failed: " + std::strerror(-r));
}

Outcome sendDevice(sd_bus* bus, Output& out, const ScriptLine& line) {
    line.expectWords(5, 5, "to DEST device hciN ADDR rssi=N [name=TEXT]");
    line.allowOptions({"rssi", "name"});
    const std::string& dest = line.word(1);
    const std::string adapter = "/org/bluez/" + line.word(3);
    const std::string address = parseAddress(line.word(4));
    const auto rssiText = line.option("rssi");
    if (!rssiText)
        throw ScriptError("rssi= is required");
    const int16_t rssi = parseInt16("rssi", *rssiText, -127, 20);
    std::string path = adapter + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');

    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_signal(bus, &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded"),
          "new signal");
    runtime::MessagePtr m(raw);
    check(sd_bus_message_set_destination(raw, dest.c_str()), "destination");
    check(sd_bus_message_append(raw, "o", path.c_str()), "append");
    check(sd_bus_message_open_container(raw, 'a', "{sa{sv}}"), "append");
    check(sd_bus_message_open_container(raw, 'e', "sa{sv}"), "append");
    check(sd_bus_message_append(raw, "s", "org.bluez.Device1"), "append");
    check(sd_bus_message_open_container(raw, 'a', "{sv}"), "append");
    check(sd_bus_message_append(raw, "{sv}{sv}{sv}", "Address", "s", address.c_str(), "Adapter", "o", adapter.c_str(),
                                "RSSI", "n", rssi),
          "append");
    if (const auto name = line.option("name"))
        check(sd_bus_message_append(raw, "{sv}", "Name", "s", name->c_str()), "append");
    for (int i = 0; i < 3; ++i)
        check(sd_bus_message_close_container(raw), "append");
    check(sd_bus_send(bus, raw, nullptr), "send");
    check(sd_bus_flush(bus), "flush");
    out.line("sent device " + address + " to " + dest);
    return {};
}

Outcome callRelease(sd_bus* bus, Output& out, const ScriptLine& line) {
    line.expectWords(3, 3, "call-release DEST PATH");
    line.allowOptions({});
    auto* userdata = new std::pair<Output*, std::string>(&out, line.word(1) + " " + line.word(2));
    int r = sd_bus_call_method_async(
        bus, nullptr, line.word(1).c_str(), line.word(2).c_str(), "org.bluez.LEAdvertisement1", "Release",
        [](sd_bus_message* m, void* data, sd_bus_error*) noexcept {
            std::unique_ptr<std::pair<Output*, std::string>> call(static_cast<std::pair<Output*, std::string>*>(data));
            const sd_bus_error* e = sd_bus_message_get_error(m);
            try {
                call->first->line("release answered " + call->second + " " + (e && e->name ? e->name : "ok"));
            } catch (...) {
            }
            return 0;
        },
        userdata, "");
    if (r < 0) {
        delete userdata;
        check(r, "call Release");
    }
    return {};
}

}  // namespace

std::optional<Outcome> directCommand(sd_bus* bus, Output& out, const ScriptLine& line) {
    const std::string& command = line.word(0);
    if (command == "to" && line.word(2) == "device")
        return sendDevice(bus, out, line);
    if (command == "call-release")
        return callRelease(bus, out, line);
    return std::nullopt;
}

}  // namespace brelo::fakebluez
