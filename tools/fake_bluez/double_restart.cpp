// bluetoothd restarting, and the switches that make the double behave like a particular
// kernel and BlueZ: the kernel's duplicate filter and BlueZ's experimental interfaces.
#include <algorithm>
#include <exception>

#include "bluez_double.h"

namespace brelo::fakebluez {
namespace {

constexpr double kDefaultRestartS = 0.5;
// bluetoothd publishes its adapters 0.2 to 0.9 s after it takes its name.
constexpr double kDefaultPublishS = 0.2;
// A Bluetooth controller's discovery scan in the kernel.
constexpr double kDefaultScanS = 10.24;

}  // namespace

Outcome BluezDouble::restart(const ScriptLine& line) {
    line.expectWords(1, 3, "restart [SECONDS] [reverse] [publish=SECONDS] [advlate=SECONDS]");
    line.allowOptions({"publish", "advlate"});
    if (options_.impostor)
        throw ScriptError("an impostor owns nothing to restart");
    double delay = kDefaultRestartS;
    publishReversed_ = false;
    for (size_t i = 1; i < line.words.size(); ++i) {
        if (line.words[i] == "reverse")
            publishReversed_ = true;
        else
            delay = parseSeconds("restart delay", line.words[i]);
    }
    auto publish = line.option("publish");
    publishS_ = publish ? parseSeconds("publish", *publish) : kDefaultPublishS;
    auto late = line.option("advlate");
    advertisingLateS_ = late ? std::optional<double>(parseSeconds("advlate", *late)) : std::nullopt;

    // bluetoothd going away: it powers its adapters off and removes them (releasing the
    // advertisements), then its connection closes and org.bluez loses its owner. A new
    // process comes back with a new unique name.
    for (auto& [name, adapter] : adapters_) {
        AdapterConfig config = adapter->config();
        config.advertisingManager = adapter->advertising().offered();
        comeBack_.push_back(config);
        adapter->setPowered(false, "");
        adapter->announceRemoval();
        say("adapter removed " + name);
    }
    commands_.stopTraffic();
    adapters_.clear();
    publishTimer_.reset();
    lateTimer_.reset();
    nameRequest_.reset();
    ownerWatch_.reset();
    incomingFilter_.reset();
    objectManager_.reset();
    env_.bus = nullptr;
    bus_.reset();
    say("bluetoothd stopped");
    restartTimer_ = loop_.after(delay, [this] {
        loop_.defer([this] {
            restartTimer_.reset();
            try {
                connect();
                requestName();
            } catch (const std::exception& e) {
                Output::complain(std::string("restart failed: ") + e.what());
                loop_.exit(1);
            }
        });
    });
    return {Outcome::Next::WaitReady, 0};
}

// A restarted bluetoothd finds its adapters again, one at a time, in their last power state,
// with no devices, discovery sessions, advertisements or monitors.
void BluezDouble::comeBack() {
    if (publishReversed_)
        std::reverse(comeBack_.begin(), comeBack_.end());
    for (auto config : comeBack_) {
        bool manager = config.advertisingManager;
        if (advertisingLateS_)
            config.advertisingManager = false;
        auto& adapter = *adapters_.emplace(config.name, std::make_unique<FakeAdapter>(env_, config)).first->second;
        say("adapter added " + config.name + (config.powered ? " on" : " off") + (manager ? "" : " noadv"));
        if (manager && advertisingLateS_)
            lateTimer_ = loop_.after(*advertisingLateS_, [this, &adapter] {
                loop_.defer([this, &adapter] {
                    lateTimer_.reset();
                    adapter.advertising().addLate();
                });
            });
    }
    comeBack_.clear();
    say("ready");
    if (onReady_)
        onReady_();
}

Outcome BluezDouble::modeCommand(const ScriptLine& line) {
    const std::string& command = line.word(0);
    if (command == "dupfilter") {
        line.expectWords(2, 2, "dupfilter on|off [scan=SECONDS]");
        line.allowOptions({"scan"});
        auto scan = line.option("scan");
        if (parseOnOff("dupfilter", line.word(1)))
            env_.duplicateScanS = scan ? parseSeconds("scan", *scan) : kDefaultScanS;
        else
            env_.duplicateScanS.reset();
        say("dupfilter " + line.word(1));
        return {};
    }
    line.expectWords(2, 2, "experimental on|off");
    line.allowOptions({});
    env_.experimental = parseOnOff("experimental", line.word(1));
    say("experimental " + line.word(1) + " (adapters added from now on)");
    return {};
}

}  // namespace brelo::fakebluez
