// The double's traffic: floods, lines repeated on a timer, and messages
// addressed to one client alone.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <random>

#include "bluez_double.h"
#include "script_commands.h"

namespace brelo::fakebluez {

// Benchmark traffic: `rate` advertisements per second spread round-robin over `devices`
// remote devices, each with a fresh RSSI and changed manufacturer data, paced against the
// loop's clock. Ends after a count or a duration, or runs until stopped.
struct Flood {
    int64_t rate = 0;
    int64_t devices = 0;
    std::optional<double> seconds;
    std::optional<int64_t> count;
    double start = 0;
    uint64_t attempted = 0, sent = 0, dropped = 0;
    std::minstd_rand random{12345};
    std::unique_ptr<runtime::Timer> timer;

    std::string report() const {
        return "flood sent " + std::to_string(sent) + (dropped ? " dropped " + std::to_string(dropped) : "");
    }
};

ScriptCommands::ScriptCommands(BluezDouble& owner) : double_(owner) {}
ScriptCommands::~ScriptCommands() = default;


void ScriptCommands::floodCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "stop") {
        if (flood_ && flood_->timer)
            double_.say(flood_->report());
        flood_.reset();
        return;
    }
    line.expect("flood RATE DEVICES [SECONDSs|COUNT] [adapter=hciN] | flood stop", 3, 4, {"adapter"});
    auto flood = std::make_unique<Flood>();
    flood->rate = parseNumber("flood rate", line.word(1), 1, INT64_MAX);
    flood->devices = parseNumber("flood devices", line.word(2), 1, 0xFFFFFF);
    if (line.words.size() == 4 && !line.word(3).empty() && line.word(3).back() == 's')
        flood->seconds = parseSeconds("flood duration", line.word(3));
    else if (line.words.size() == 4)
        flood->count = parseNumber("flood count", line.word(3), 1, INT64_MAX);
    if (double_.adapters().empty())
        throw ScriptError("no adapter: add one first (adapter add hci0)");
    const std::string adapter = line.option("adapter").value_or(double_.adapters().begin()->first);
    adapterNamed(adapter);
    flood->start = double_.loop().monotonicNow();
    flood->timer = double_.loop().repeating(0.005, [this, adapter, f = flood.get()] {
        const double elapsed = double_.loop().monotonicNow() - f->start;
        const bool timeUp = f->seconds && elapsed >= *f->seconds;
        auto target =
            static_cast<uint64_t>(std::floor(static_cast<double>(f->rate) * (timeUp ? *f->seconds : elapsed)));
        if (f->count)
            target = std::min<uint64_t>(target, static_cast<uint64_t>(*f->count));
        // After a stall, catch up by a tenth of a second's worth per tick rather than in one
        // burst; and while the daemon has not taken 20,000 of our messages, wait.
        uint64_t queued = 0;
        sd_bus_get_n_queued_write(double_.env().bus, &queued);
        const uint64_t burst = queued > 20000 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(f->rate / 10 + 1), 2000);
        const uint64_t limit = std::min(target, f->attempted + burst);
        auto it = double_.adapters().find(adapter);
        for (; f->attempted < limit; ++f->attempted) {
            const uint32_t n = static_cast<uint32_t>(f->attempted);
            const auto index = static_cast<unsigned>(f->attempted % static_cast<uint64_t>(f->devices));
            char address[18];
            std::snprintf(address, sizeof address, "F0:00:00:%02X:%02X:%02X", (index >> 16) & 0xff,
                          (index >> 8) & 0xff, index & 0xff);
            AdvertData data;
            data.rssi = static_cast<int16_t>(std::uniform_int_distribution<int>(-90, -40)(f->random));
            // A company identifier that no house device uses.
            data.manufacturerData = {{0xFFFF, {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)}}};
            const bool delivered =
                it != double_.adapters().end() && it->second->advert(address, data) == Delivery::Delivered;
            ++(delivered ? f->sent : f->dropped);
        }
        // A timed flood that could not keep up ends on time all the same, with what it sent.
        if (timeUp || (f->count && f->attempted >= static_cast<uint64_t>(*f->count)))
            double_.loop().defer([this, f] {
                if (flood_.get() == f && f->timer)
                    f->timer.reset(), double_.say(f->report());
            });
    });
    flood_ = std::move(flood);
    double_.say("flood started rate=" + line.word(1) + " devices=" + line.word(2) + " adapter=" + adapter);
}

void ScriptCommands::everyCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "off") {
        repeats_.clear();
        return double_.say("every off");
    }
    if (line.words.size() < 3)
        throw ScriptError("usage: every SECONDS COMMAND ... | every off");
    const double seconds = std::max(0.01, parseSeconds("every", line.word(1)));
    ScriptLine repeated{{line.words.begin() + 2, line.words.end()}, line.options};
    for (const char* c : {"every", "quit", "flood"})
        if (repeated.word(0) == c)
            throw ScriptError(std::string("'") + c + "' cannot be repeated with every");
    repeats_.push_back(double_.loop().repeating(seconds, [this, repeated] {
        try {
            execute(repeated, true);
        } catch (const std::exception& e) {
            std::cerr << "fake-bluez: every: " << e.what() << ": " << repeated.rest(0) << "\n";
        }
    }));
    double_.say("every " + line.word(1) + " " + repeated.rest(0));
}

// Messages addressed to one client's unique name instead of broadcast. The bus delivers such
// a signal whatever the client's match rules say, so only the client's own check of the
// sender stands between it and a connection that does not own org.bluez.
void ScriptCommands::directCommand(const ScriptLine& line) {
    sd_bus* bus = double_.env().bus;
    if (line.word(0) == "to") {
        line.expect("to DEST device hciN ADDR rssi=N [name=TEXT]", 5, 5, {"rssi", "name"});
        const std::string adapter = "/org/bluez/" + line.word(3);
        const std::string address = parseAddress(line.word(4));
        std::string path = adapter + "/dev_" + address;
        std::replace(path.begin(), path.end(), ':', '_');
        Properties device{
            {"Address", address},
            {"Adapter", ObjectPath{adapter}},
            {"RSSI", static_cast<int16_t>(parseNumber("rssi", line.option("rssi").value_or(""), -127, 20))}};
        if (auto name = line.option("name"))
            device["Name"] = *name;
        if (emitInterfacesAdded(bus, path, {{kDeviceInterface, device}}, line.word(1)) < 0 || sd_bus_flush(bus) < 0)
            throw ScriptError("the bus would not take the signal");
        return double_.say("sent device " + address + " to " + line.word(1));
    }
    line.expect("call-release DEST PATH", 3, 3);
    using Call = std::pair<BluezDouble*, std::string>;  // the double, and "DEST PATH"
    auto* what = new Call(&double_, line.word(1) + " " + line.word(2));
    auto answered = [](sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
        std::unique_ptr<Call> call(static_cast<Call*>(userdata));
        const sd_bus_error* e = sd_bus_message_get_error(m);
        call->first->say("release answered " + call->second + " " + (e && e->name ? e->name : "ok"));
        return 0;
    };
    if (sd_bus_call_method_async(bus, nullptr, line.word(1).c_str(), line.word(2).c_str(), "org.bluez.LEAdvertisement1",
                                 "Release", answered, what, "") < 0) {
        delete what;
        throw ScriptError("cannot call Release");
    }
}

}  // namespace brelo::fakebluez
