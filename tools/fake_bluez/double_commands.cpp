// The double's script commands: adapters, devices and advertisements.
#include "script_commands.h"

#include "bluez_double.h"

#include <algorithm>
#include <random>

#include "adapter_support.h"
#include "direct_messages.h"

namespace brelo::fakebluez {
FakeAdapter& ScriptCommands::adapterNamed(const std::string& name) {
    auto it = double_.adapters().find(name);
    if (it == double_.adapters().end())
        throw ScriptError("no adapter " + name);
    return *it->second;
}

FakeAdapter& ScriptCommands::adapterFor(const std::string& address) {
    for (auto& [name, adapter] : double_.adapters())
        if (adapter->findDevice(address))
            return *adapter;
    if (double_.adapters().empty())
        throw ScriptError("no adapter: add one first (adapter add hci0)");
    return *double_.adapters().begin()->second;
}

AdvertData ScriptCommands::advertData(const ScriptLine& line) const {
    AdvertData data;
    if (auto v = line.option("rssi"))
        data.rssi = parseInt16("rssi", *v, -127, 20);
    if (auto v = line.option("name"))
        data.name = *v;
    if (auto v = line.option("tx"))
        data.txPower = parseInt16("tx", *v, -127, 127);
    if (auto v = line.option("uuids"))
        data.uuids = parseUuids(*v);
    if (auto v = line.option("mfg"))
        data.manufacturerData = parseManufacturerData(*v);
    return data;
}

Delivery ScriptCommands::sendAdvert(const std::string& adapterName, const std::string& address,
                                              const AdvertData& data, bool quiet, const std::string& label) {
    FakeAdapter& adapter = adapterName.empty() ? adapterFor(address) : adapterNamed(adapterName);
    auto delivery = adapter.advert(address, data, quiet ? "" : label);
    if (!quiet) {
        std::string where = address + " adapter=" + adapter.config().name;
        switch (delivery) {
            case Delivery::Delivered:
                say(label + " " + where);
                break;
            case Delivery::NotDiscovering:
                say(label + " dropped " + where + " (not discovering)");
                break;
            case Delivery::Filtered:
                say(label + " dropped " + where + " (discovery filter)");
                break;
            case Delivery::Duplicate:
                say(label + " dropped " + where + " (duplicate)");
                break;
            case Delivery::Held:
                break;  // reported when discovery starts again
            case Delivery::SendFailed:
                say(label + " failed " + where + " (the bus would not take the signal)");
                break;
        }
    }
    return delivery;
}

void ScriptCommands::say(const std::string& text) const { double_.say(text); }

void ScriptCommands::stopTraffic() {
    drifts_.clear();
    flood_.reset();
}

Outcome ScriptCommands::execute(const ScriptLine& line, bool quiet) {
    const std::string& command = line.word(0);
    if (command == "adapter")
        return adapterCommand(line);
    if (command == "device")
        return deviceCommand(line);
    if (command == "advert")
        return advertCommand(line, quiet);
    if (command == "power") {
        line.expectWords(3, 3, "power hciN on|off");
        line.allowOptions({});
        adapterNamed(line.word(1)).setPowered(parseOnOff("power", line.word(2)), "");
        return {};
    }
    if (command == "stop-discovery") {
        line.expectWords(2, 2, "stop-discovery hciN");
        line.allowOptions({});
        adapterNamed(line.word(1)).discovery().stopByItself();
        return {};
    }
    if (command == "deny") {
        line.expectWords(2, 2, "deny on|off");
        line.allowOptions({});
        const bool deny = parseOnOff("deny", line.word(1));
        double_.setDeny(deny);
        say(std::string("deny ") + (deny ? "on" : "off"));
        return {};
    }
    if (command == "adv")
        return advCommand(line);
    if (command == "flood")
        return floodCommand(line);
    if (command == "drift")
        return driftCommand(line);
    if (command == "every")
        return everyCommand(line);
    if (command == "restart")
        return double_.restart(line);
    if (command == "dupfilter" || command == "experimental")
        return double_.modeCommand(line);
    if (command == "sleep") {
        line.expectWords(2, 2, "sleep SECONDS");
        line.allowOptions({});
        return {Outcome::Next::Sleep, parseSeconds("sleep", line.word(1))};
    }
    if (command == "echo") {
        say(line.rest(1));
        return {};
    }
    if (auto outcome = directCommand(double_.env().bus, double_.out(), line))
        return *outcome;
    if (command == "quit") {
        line.expectWords(1, 1, "quit");
        return {Outcome::Next::Quit, 0};
    }
    throw ScriptError("unknown command '" + command + "'");
}

Outcome ScriptCommands::adapterCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "add") {
        line.expectWords(3, 5, "adapter add hciN [noadv] [off] [address=AA:BB:CC:DD:EE:FF]");
        line.allowOptions({"address"});
        AdapterConfig config;
        config.name = line.word(2);
        if (!validAdapterName(config.name))
            throw ScriptError("'" + config.name + "' is not an adapter name (letters, digits, _)");
        if (double_.adapters().count(config.name))
            throw ScriptError("adapter " + config.name + " already exists");
        for (size_t i = 3; i < line.words.size(); ++i) {
            if (line.words[i] == "noadv")
                config.advertisingManager = false;
            else if (line.words[i] == "off")
                config.powered = false;
            else if (line.words[i] == "on")
                config.powered = true;
            else
                throw ScriptError("unknown adapter flag '" + line.words[i] + "' (noadv, on, off)");
        }
        auto address = line.option("address");
        config.address = address ? parseAddress(*address) : defaultAdapterAddress(double_.adapters().size());
        double_.adapters().emplace(config.name, std::make_unique<FakeAdapter>(double_.env(), config));
        say("adapter added " + config.name + (config.powered ? " on" : " off") +
            (config.advertisingManager ? "" : " noadv"));
        return {};
    }
    if (verb == "remove") {
        line.expectWords(3, 3, "adapter remove hciN");
        line.allowOptions({});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        adapter.announceRemoval();
        std::string name = adapter.config().name;
        double_.adapters().erase(name);
        say("adapter removed " + name);
        return {};
    }
    throw ScriptError("usage: adapter add|remove hciN ...");
}

Outcome ScriptCommands::deviceCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "add") {
        line.expectWords(4, 4, "device add hciN AA:BB:CC:DD:EE:FF [name=] [rssi=] [tx=] [uuids=] [mfg=]");
        line.allowOptions({"name", "rssi", "tx", "uuids", "mfg"});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        std::string address = parseAddress(line.word(3));
        adapter.addDevice(address, advertData(line));
        say("device added " + address + " adapter=" + adapter.config().name);
        return {};
    }
    if (verb == "remove") {
        line.expectWords(4, 4, "device remove hciN AA:BB:CC:DD:EE:FF");
        line.allowOptions({});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        std::string address = parseAddress(line.word(3));
        drifts_.erase(address);
        adapter.removeDevice(address);
        say("device removed " + address + " adapter=" + adapter.config().name);
        return {};
    }
    throw ScriptError("usage: device add|remove hciN AA:BB:CC:DD:EE:FF ...");
}

Outcome ScriptCommands::advertCommand(const ScriptLine& line, bool quiet) {
    line.expectWords(2, 3, "advert [hciN] AA:BB:CC:DD:EE:FF rssi=N [name=] [tx=] [uuids=] [mfg=]");
    line.allowOptions({"name", "rssi", "tx", "uuids", "mfg"});
    std::string adapterName = line.words.size() == 3 ? line.word(1) : "";
    std::string address = parseAddress(line.words.back());
    AdvertData data = advertData(line);
    if (!data.rssi)
        throw ScriptError("an advert needs rssi=N");
    sendAdvert(adapterName, address, data, quiet, "advert");
    return {};
}

Outcome ScriptCommands::advCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "refuse") {
        line.expectWords(3, 3, "adv refuse failed|scanning|notpermitted|invalid|off");
        line.allowOptions({});
        const std::string& how = line.word(2);
        if (how == "failed")
            double_.env().refusal = AdvertisingRefusal::Failed;
        else if (how == "scanning")
            double_.env().refusal = AdvertisingRefusal::WhileScanning;
        else if (how == "notpermitted")
            double_.env().refusal = AdvertisingRefusal::NotPermitted;
        else if (how == "invalid")
            double_.env().refusal = AdvertisingRefusal::InvalidArguments;
        else if (how == "off")
            double_.env().refusal = AdvertisingRefusal::None;
        else
            throw ScriptError("adv refuse takes failed, scanning, notpermitted, invalid or off");
        say("adv refuse " + how);
        return {};
    }
    if (verb == "release") {
        line.expectWords(2, 3, "adv release [hciN]");
        line.allowOptions({});
        size_t released = 0;
        if (line.words.size() == 3)
            released = adapterNamed(line.word(2)).advertising().releaseAll();
        else
            for (auto& [name, adapter] : double_.adapters())
                released += adapter->advertising().releaseAll();
        if (released == 0)
            say("release: nothing registered");
        return {};
    }
    throw ScriptError("usage: adv refuse ... | adv release [hciN]");
}

}  // namespace brelo::fakebluez
