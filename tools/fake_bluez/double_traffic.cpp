// The double's traffic: floods, drifting devices and lines repeated on a timer.
#include "script_commands.h"

#include "bluez_double.h"

#include <algorithm>
#include <random>

#include "adapter_support.h"

namespace brelo::fakebluez {

Outcome ScriptCommands::floodCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "stop") {
        if (flood_ && !flood_->finished())
            say("flood sent " + std::to_string(flood_->sent()) +
                (flood_->dropped() ? " dropped " + std::to_string(flood_->dropped()) : ""));
        flood_.reset();
        return {};
    }
    line.expectWords(3, 4, "flood RATE DEVICES [SECONDSs|COUNT] [adapter=hciN] | flood stop");
    line.allowOptions({"adapter"});
    int64_t rate = parseCount("flood rate", line.word(1));
    int64_t devices = parseCount("flood devices", line.word(2));
    if (devices > 0xFFFFFF)
        throw ScriptError("at most 16777215 flood devices");
    std::optional<double> seconds;
    std::optional<int64_t> count;
    if (line.words.size() == 4) {
        const std::string& limit = line.word(3);
        if (!limit.empty() && limit.back() == 's')
            seconds = parseSeconds("flood duration", limit);
        else
            count = parseCount("flood count", limit);
    }
    std::string adapterName = line.option("adapter").value_or("");
    if (adapterName.empty()) {
        if (double_.adapters().empty())
            throw ScriptError("no adapter: add one first (adapter add hci0)");
        adapterName = double_.adapters().begin()->first;
    }
    adapterNamed(adapterName);
    flood_.reset();
    flood_ = std::make_unique<Flood>(
        double_.loop(), rate, devices, seconds, count,
        [this, adapterName](const std::string& address, const AdvertData& data) {
            auto it = double_.adapters().find(adapterName);
            if (it == double_.adapters().end())
                return false;
            // Held ones go out when the client's restart of discovery completes.
            auto delivery = it->second->advert(address, data);
            return delivery == Delivery::Delivered || delivery == Delivery::Held;
        },
        [this](uint64_t sent, uint64_t dropped) {
            say("flood sent " + std::to_string(sent) + (dropped ? " dropped " + std::to_string(dropped) : ""));
        },
        [this]() -> uint64_t {
            uint64_t queued = 0;
            if (double_.env().bus)
                sd_bus_get_n_queued_write(double_.env().bus, &queued);
            return queued;
        });
    say("flood started rate=" + std::to_string(rate) + " devices=" + std::to_string(devices) +
        " adapter=" + adapterName);
    return {};
}

Outcome ScriptCommands::driftCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "off") {
        drifts_.clear();
        say("drift off");
        return {};
    }
    line.expectWords(2, 2, "drift AA:BB:CC:DD:EE:FF [every=SECONDS] [min=N] [max=N] | drift off");
    line.allowOptions({"every", "min", "max"});
    std::string address = parseAddress(line.word(1));
    double every = parseSeconds("every", line.option("every").value_or("0.5"));
    if (every < 0.01)
        throw ScriptError("drift every must be at least 0.01 s");
    int low = parseInt16("min", line.option("min").value_or("-90"), -127, 20);
    int high = parseInt16("max", line.option("max").value_or("-40"), -127, 20);
    if (low > high)
        throw ScriptError("drift min is above max");
    adapterFor(address);  // fails now rather than on every tick when there is no adapter
    auto rng = std::make_shared<std::minstd_rand>(static_cast<unsigned>(std::hash<std::string>{}(address)));
    auto rssi = std::make_shared<int>((low + high) / 2);
    // A random walk, so a device seems to move about the room.
    drifts_[address] = double_.loop().repeating(every, [this, address, low, high, rng, rssi] {
        std::uniform_int_distribution<int> step(-3, 3);
        *rssi = std::clamp(*rssi + step(*rng), low, high);
        AdvertData data;
        data.rssi = static_cast<int16_t>(*rssi);
        try {
            sendAdvert("", address, data, true, "advert");
        } catch (const std::exception& e) {
            Output::complain("drift " + address + ": " + e.what());
        }
    });
    say("drift " + address);
    return {};
}

Outcome ScriptCommands::everyCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "off") {
        repeats_.clear();
        say("every off");
        return {};
    }
    if (line.words.size() < 3)
        throw ScriptError("usage: every SECONDS COMMAND ... | every off");
    double seconds = parseSeconds("every", line.word(1));
    if (seconds < 0.01)
        throw ScriptError("every needs at least 0.01 s");
    ScriptLine repeated;
    repeated.words.assign(line.words.begin() + 2, line.words.end());
    repeated.options = line.options;
    static const char* kNotRepeatable[] = {"every", "sleep", "restart", "quit", "flood", "drift"};
    for (const char* c : kNotRepeatable)
        if (repeated.word(0) == c)
            throw ScriptError(std::string("'") + c + "' cannot be repeated with every");
    repeats_.push_back(double_.loop().repeating(seconds, [this, repeated] {
        try {
            execute(repeated, true);
        } catch (const std::exception& e) {
            Output::complain("every: " + std::string(e.what()) + ": " + repeated.rest(0));
        }
    }));
    say("every " + line.word(1) + " " + repeated.rest(0));
    return {};
}

}  // namespace brelo::fakebluez
