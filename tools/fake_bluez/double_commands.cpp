// The double's script commands: adapters, devices, advertisements and the switches.
#include "script_commands.h"

#include <cstdio>
#include <random>

#include "bluez_double.h"

namespace brelo::fakebluez {
namespace {

// rssi=N, or rssi=MIN..MAX for a value picked afresh each time (a device moving about).
int16_t rssiOption(const std::string& text) {
    static std::minstd_rand random{4242};
    const size_t dots = text.find("..");
    if (dots == std::string::npos)
        return static_cast<int16_t>(parseNumber("rssi", text, -127, 20));
    const int64_t low = parseNumber("rssi", text.substr(0, dots), -127, 20);
    return static_cast<int16_t>(std::uniform_int_distribution<int64_t>(
        low, parseNumber("rssi", text.substr(dots + 2), low, 20))(random));
}

AdvertData advertData(const ScriptLine& line) {
    AdvertData data;
    if (auto v = line.option("rssi"))
        data.rssi = rssiOption(*v);
    if (auto v = line.option("tx"))
        data.txPower = static_cast<int16_t>(parseNumber("tx", *v, -127, 127));
    data.name = line.option("name");
    if (auto v = line.option("uuids"))
        data.uuids = parseUuids(*v);
    if (auto v = line.option("mfg"))
        data.manufacturerData = parseManufacturerData(*v);
    return data;
}

}  // namespace

FakeAdapter& ScriptCommands::adapterNamed(const std::string& name) {
    auto it = double_.adapters().find(name);
    if (it == double_.adapters().end())
        throw ScriptError("no adapter " + name);
    return *it->second;
}

FakeAdapter& ScriptCommands::adapterFor(const std::string& address) {
    for (auto& [name, adapter] : double_.adapters())
        if (adapter->devices().has(address))
            return *adapter;
    if (double_.adapters().empty())
        throw ScriptError("no adapter: add one first (adapter add hci0)");
    return *double_.adapters().begin()->second;
}

void ScriptCommands::advert(const ScriptLine& line, bool quiet) {
    line.expect("advert [hciN] AA:BB:CC:DD:EE:FF rssi=N|MIN..MAX [name=] [tx=] [uuids=] [mfg=]", 2, 3,
                {"name", "rssi", "tx", "uuids", "mfg"});
    const std::string address = parseAddress(line.words.back());
    const AdvertData data = advertData(line);
    if (!data.rssi)
        throw ScriptError("an advert needs rssi=N");
    FakeAdapter& adapter = line.words.size() == 3 ? adapterNamed(line.word(1)) : adapterFor(address);
    const Delivery delivery = adapter.advert(address, data);
    if (quiet && delivery != Delivery::SendFailed)
        return;
    static const char* kWhy[] = {"", " (not discovering)", " (discovery filter)", " (duplicate)",
                                 " (the bus would not take the signal)"};
    const char* what = delivery == Delivery::Delivered    ? "advert "
                       : delivery == Delivery::SendFailed ? "advert failed "
                                                          : "advert dropped ";
    double_.say(what + address + " adapter=" + adapter.config().name + kWhy[static_cast<int>(delivery)]);
}

void ScriptCommands::execute(const ScriptLine& line, bool quiet) {
    const std::string command = line.words.empty() ? "" : line.word(0);
    if (command == "adapter") {
        adapterCommand(line);
    } else if (command == "device") {
        deviceCommand(line);
    } else if (command == "advert") {
        advert(line, quiet);
    } else if (command == "power") {
        line.expect("power hciN on|off", 3, 3);
        adapterNamed(line.word(1)).setPowered(parseOnOff("power", line.word(2)), "");
    } else if (command == "stop-discovery") {
        line.expect("stop-discovery hciN", 2, 2);
        adapterNamed(line.word(1)).discovery().stopByItself();
    } else if (command == "flood") {
        floodCommand(line);
    } else if (command == "every") {
        everyCommand(line);
    } else if (command == "to" || command == "call-release") {
        directCommand(line);
    } else if (command == "echo") {
        double_.say(line.rest(1));
    } else if (command == "quit") {
        line.expect("quit", 1, 1);
        double_.loop().exit(0);
    } else if (!command.empty()) {
        switchCommand(line);
    }
}

void ScriptCommands::adapterCommand(const ScriptLine& line) {
    auto& adapters = double_.adapters();
    if (line.word(1) == "remove") {
        line.expect("adapter remove hciN", 3, 3);
        adapterNamed(line.word(2)).announceRemoval();
        adapters.erase(line.word(2));
        return double_.say("adapter removed " + line.word(2));
    }
    line.expect("adapter add hciN [noadv] [off] [address=AA:BB:CC:DD:EE:FF]", 3, 5, {"address"});
    if (line.word(1) != "add")
        throw ScriptError("usage: adapter add|remove hciN ...");
    AdapterConfig config;
    config.name = line.word(2);
    if (config.name.empty() ||
        config.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != config.name.npos)
        throw ScriptError("'" + config.name + "' is not an adapter name (lower-case letters, digits, _)");
    if (adapters.count(config.name))
        throw ScriptError("adapter " + config.name + " already exists");
    for (size_t i = 3; i < line.words.size(); ++i) {
        if (line.words[i] != "noadv" && line.words[i] != "off")
            throw ScriptError("unknown adapter flag '" + line.words[i] + "' (noadv, off)");
        (line.words[i] == "noadv" ? config.advertisingManager : config.powered) = false;
    }
    char address[18];
    std::snprintf(address, sizeof address, "00:1A:7D:DA:71:%02X", static_cast<unsigned>(adapters.size() & 0xff));
    config.address = parseAddress(line.option("address").value_or(address));
    adapters[config.name] = std::make_unique<FakeAdapter>(double_.env(), config);
    double_.say("adapter added " + config.name + (config.powered ? " on" : " off") +
                (config.advertisingManager ? "" : " noadv"));
}

void ScriptCommands::deviceCommand(const ScriptLine& line) {
    const bool add = line.word(1) == "add";
    if (add)
        line.expect("device add hciN AA:BB:CC:DD:EE:FF [name=] [rssi=] [tx=] [uuids=] [mfg=]", 4, 4,
                    {"name", "rssi", "tx", "uuids", "mfg"});
    else if (line.word(1) == "remove")
        line.expect("device remove hciN AA:BB:CC:DD:EE:FF", 4, 4);
    else
        throw ScriptError("usage: device add|remove hciN AA:BB:CC:DD:EE:FF ...");
    FakeAdapter& adapter = adapterNamed(line.word(2));
    const std::string address = parseAddress(line.word(3));
    if (add)
        adapter.devices().add(address, advertData(line));
    else
        adapter.devices().remove(address);
    double_.say(std::string(add ? "device added " : "device removed ") + address + " adapter=" + adapter.config().name);
}

void ScriptCommands::switchCommand(const ScriptLine& line) {
    const std::string& command = line.word(0);
    Env& env = double_.env();
    if (command == "deny") {
        line.expect("deny on|off", 2, 2);
        double_.calls().setDeny(parseOnOff("deny", line.word(1)));
    } else if (command == "adv") {
        line.expect("adv refuse failed|notpermitted|off", 3, 3);
        const std::string& how = line.word(2);
        if (line.word(1) != "refuse" || (how != "failed" && how != "notpermitted" && how != "off"))
            throw ScriptError("usage: adv refuse failed|notpermitted|off");
        env.refusal = how == "failed" ? AdvertisingRefusal::Failed
                      : how == "off"  ? AdvertisingRefusal::None
                                      : AdvertisingRefusal::NotPermitted;
    } else if (command == "dupfilter") {
        // A Bluetooth controller's discovery scan in the kernel lasts 10.24 s.
        line.expect("dupfilter on|off [scan=SECONDS]", 2, 2, {"scan"});
        env.duplicateScanS.reset();
        if (parseOnOff("dupfilter", line.word(1)))
            env.duplicateScanS = parseSeconds("scan", line.option("scan").value_or("10.24"));
    } else {
        throw ScriptError("unknown command '" + command + "'");
    }
    double_.say(line.rest(0));
}

}  // namespace brelo::fakebluez
