// brelo-ble against a BlueZ that keeps falling over: bluetoothd restarting, the radio
// switched off and on, the adapter pulled and plugged in, a second adapter, access refused
// and granted again, discovery stopped under it, and the bus daemon itself killed. After
// each the node scans and advertises again within a second of the radio being usable (or,
// where only retrying can tell, within its back-off), and posts the status words the state
// table gives. Long runs also count the node's file descriptors and memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "line_watch.h"
#include "program_fixture.h"
#include "reliability_support.h"

namespace brelo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// What the node needs at most to react to a usable radio. The binding retries refused and
// failed calls on a back-off of 1 s doubling to 30 s; that bounds the cases where only a
// retry can find out that things work again.
constexpr double kBackOnAirS = 1.0;
constexpr double kBackoffBoundS = 30.0 + 5.0;

class BluezFaults : public ProgramOnFakeBluez {
protected:
    void SetUp() override {
        ProgramOnFakeBluez::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(fake_->run("adapter add hci0"));
        node_ = &startNode("reliability");
        watch_ = std::make_unique<LineWatch>(fake_->process());
        ASSERT_TRUE(backOnAir(0, 20s)) << testing::PrintToString(node_->lines());
    }

    // When the node had, after line `from` of fake-bluez's output, both started discovery
    // and registered its advertisement (the later of the two), or nothing on time-out.
    std::optional<double> backOnAir(size_t from, std::chrono::milliseconds timeout,
                                    const std::string& adapter = "adapter=hci0") {
        auto discovery = watch_->find("discovery start", from, timeout);
        while (discovery && watch_->line(*discovery).find(adapter) == std::string::npos)
            discovery = watch_->find("discovery start", *discovery + 1, timeout);
        auto registered = watch_->find("registered ", from, timeout);
        while (registered && watch_->line(*registered).find(adapter) == std::string::npos)
            registered = watch_->find("registered ", *registered + 1, timeout);
        if (!discovery || !registered)
            return std::nullopt;
        return std::max(watch_->at(*discovery), watch_->at(*registered));
    }

    // Sends script lines; the index of the first output line that contains `echoed`.
    std::optional<size_t> act(const std::string& lines, const std::string& echoed,
                              std::chrono::milliseconds timeout = 10s) {
        const size_t from = watch_->size();
        fake_->send(lines);
        node_->poll();  // keeps the node's output pipe from filling up in long runs
        return watch_->find(echoed, from, timeout);
    }

    bool nodeLogged(const std::string& text, size_t n, std::chrono::milliseconds timeout = 15s) {
        return waitForLog(*node_, text, n, timeout);
    }

    void reportLatencies(const std::string& name, std::vector<double> latencies, double bound) {
        ASSERT_FALSE(latencies.empty());
        std::sort(latencies.begin(), latencies.end());
        figure(name + ".cycles", std::to_string(latencies.size()));
        figure(name + ".median_s", std::to_string(latencies[latencies.size() / 2]));
        figure(name + ".max_s", std::to_string(latencies.back()));
        EXPECT_LT(latencies.back(), bound) << name << ": slowest return to the air";
    }

    ChildProcess* node_ = nullptr;
    std::unique_ptr<LineWatch> watch_;
};

TEST_F(BluezFaults, BluetoothdRestartsEachEndWithScanningAndTheBeaconBackWithinASecond) {
    const size_t n = scaled(100, 10000);
    std::vector<double> latencies;
    auto restart = [&] {
        auto stopped = act("restart 0.05", "bluetoothd stopped");
        if (!stopped)
            return false;
        auto ready = watch_->find("ready", *stopped, 10s);
        if (!ready)
            return false;
        auto back = backOnAir(*ready, 10s);
        if (!back)
            return false;
        latencies.push_back(*back - watch_->at(*ready));
        return true;
    };
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(restart()) << "warm-up " << i;
    const size_t fdsBefore = openFds(node_->pid());
    const long rssBefore = rssKiB(node_->pid());
    latencies.clear();
    for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(restart()) << "restart " << i << "\n" << testing::PrintToString(node_->lines());
    const size_t fdsAfter = openFds(node_->pid());
    const long rssAfter = rssKiB(node_->pid());

    ASSERT_TRUE(node_->running());
    reportLatencies("bluetoothd_restarts", latencies, kBackOnAirS);
    // Each restart is posted as "resetting" at once.
    EXPECT_TRUE(waitForUploads([&](const auto& uploads) { return countStatus(uploads, "resetting") >= n + 5; }, 20s));
    // A kept-alive connection to the server may be open or not at either moment.
    EXPECT_LE(std::max(fdsAfter, fdsBefore) - std::min(fdsAfter, fdsBefore), 1u);
    figure("bluetoothd_restarts.fd_change", std::to_string(static_cast<long>(fdsAfter) - static_cast<long>(fdsBefore)));
    figure("bluetoothd_restarts.rss_change_KiB", std::to_string(rssAfter - rssBefore));
    if (!addressSanitized()) {
        EXPECT_LT(rssAfter - rssBefore, 2 * 1024) << "node memory grows with restarts";
    }
}

TEST_F(BluezFaults, PowerCyclesEachPostBluetoothOffAndEndWithScanningAndTheBeaconBack) {
    const size_t n = scaled(100, 1000);
    std::vector<double> latencies;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(act("power hci0 off", "(powered off)")) << "cycle " << i;
        ASSERT_TRUE(nodeLogged("status bluetooth-off", i + 1)) << "cycle " << i;
        auto on = act("power hci0 on", "power hci0 on");
        ASSERT_TRUE(on) << "cycle " << i;
        auto back = backOnAir(*on, 10s);
        ASSERT_TRUE(back) << "cycle " << i << "\n" << testing::PrintToString(node_->lines());
        latencies.push_back(*back - watch_->at(*on));
    }
    ASSERT_TRUE(node_->running());
    reportLatencies("power_cycles", latencies, kBackOnAirS);
    EXPECT_TRUE(waitForUploads([&](const auto& uploads) { return countStatus(uploads, "bluetooth-off") >= n; }, 20s));
    EXPECT_TRUE(nodeLogged("status listening", n + 1));
    EXPECT_EQ(node_->countLines("status listening"), n + 1);
}

TEST_F(BluezFaults, AdapterRemovedAndAddedAndASecondAdapterTakingOver) {
    std::vector<double> latencies;
    // The only adapter goes: nothing to listen with. It comes back: listening again.
    ASSERT_TRUE(act("adapter remove hci0", "adapter removed hci0"));
    ASSERT_TRUE(nodeLogged("status unsupported", 1));
    auto added = act("adapter add hci0", "adapter added hci0");
    ASSERT_TRUE(added);
    auto back = backOnAir(*added, 10s);
    ASSERT_TRUE(back) << testing::PrintToString(node_->lines());
    latencies.push_back(*back - watch_->at(*added));
    ASSERT_TRUE(nodeLogged("status listening", 2));

    // A second adapter appears: the node stays with the one it uses.
    auto second = act("adapter add hci1", "adapter added hci1");
    ASSERT_TRUE(second);
    ASSERT_TRUE(act("advert hci0 C0:FF:EE:00:00:01 rssi=-55 name=Desk", "advert C0:FF:EE:00:00:01"));
    ASSERT_TRUE(waitForUploads([](const auto& uploads) { return !recordsNamed(uploads, "Desk").empty(); }));
    EXPECT_FALSE(backOnAir(*second, 0ms, "adapter=hci1")) << "the node moved to an adapter while its own was fine";

    // The one in use goes: the other is taken at once, without passing through "unsupported".
    auto removed = act("adapter remove hci0", "adapter removed hci0");
    ASSERT_TRUE(removed);
    back = backOnAir(*removed, 10s, "adapter=hci1");
    ASSERT_TRUE(back) << testing::PrintToString(fake_->lines());
    latencies.push_back(*back - watch_->at(*removed));
    reportLatencies("adapter_changes", latencies, kBackOnAirS);
    EXPECT_EQ(node_->countLines("status unsupported"), 1u);
    EXPECT_TRUE(waitForUploads([](const auto& uploads) { return countStatus(uploads, "unsupported") >= 1; }));
}

TEST_F(BluezFaults, AccessRefusedThenGrantedIsNeedsPermissionThenListeningAgain) {
    // bluetoothd comes back with a policy that refuses us.
    ASSERT_TRUE(act("deny on\nrestart 0.05", "bluetoothd stopped"));
    ASSERT_TRUE(nodeLogged("status needs-permission", 1)) << testing::PrintToString(node_->lines());
    ASSERT_TRUE(waitForUploads([](const auto& uploads) { return countStatus(uploads, "needs-permission") >= 1; }));
    // Only asking again can tell the refusal is over: the node does so on its back-off.
    auto granted = act("deny off", "deny off");
    ASSERT_TRUE(granted);
    auto back = backOnAir(*granted, std::chrono::milliseconds(static_cast<int>(kBackoffBoundS * 1000)));
    ASSERT_TRUE(back) << testing::PrintToString(node_->lines());
    reportLatencies("access_granted", {*back - watch_->at(*granted)}, kBackoffBoundS);
    EXPECT_TRUE(nodeLogged("status listening", 2));
}

TEST_F(BluezFaults, DiscoveryStoppedByBluezIsStartedAgainWithinASecondEachTime) {
    const size_t n = scaled(20, 200);
    std::vector<double> latencies;
    for (size_t i = 0; i < n; ++i) {
        // Something is heard between the stops, as in a real room: a discovery that keeps
        // falling without anything heard is restarted on a growing delay instead.
        auto stopped = act("advert C0:FF:EE:00:00:01 rssi=-60\nstop-discovery hci0", "(stopped by bluez)");
        ASSERT_TRUE(stopped) << "stop " << i;
        auto started = watch_->find("discovery start", *stopped, 10s);
        ASSERT_TRUE(started) << "stop " << i << "\n" << testing::PrintToString(node_->lines());
        latencies.push_back(watch_->at(*started) - watch_->at(*stopped));
    }
    reportLatencies("discovery_stopped", latencies, kBackOnAirS);
    // The radio stayed on: the node never stopped listening.
    EXPECT_EQ(node_->countLines("status listening"), 1u);
}

TEST_F(BluezFaults, BusDaemonKilledAndStartedAgainAtTheSameAddressIsResettingThenListening) {
    const size_t n = scaled(2, 10);
    std::vector<double> latencies;
    for (size_t i = 0; i < n; ++i) {
        bus_->restart();
        // bluetoothd goes with its bus; a new one starts on the new daemon.
        watch_.reset();
        fake_ = std::make_unique<FakeBluez>(*bus_);
        watch_ = std::make_unique<LineWatch>(fake_->process());
        auto added = act("adapter add hci0", "adapter added hci0");
        ASSERT_TRUE(added) << "round " << i;
        auto back = backOnAir(*added, std::chrono::milliseconds(static_cast<int>(kBackoffBoundS * 1000)));
        ASSERT_TRUE(back) << "round " << i << "\n" << testing::PrintToString(node_->lines());
        latencies.push_back(*back - watch_->at(*added));
        ASSERT_TRUE(nodeLogged("status listening", i + 2)) << testing::PrintToString(node_->lines());
    }
    ASSERT_TRUE(node_->running());
    EXPECT_GE(node_->countLines("status resetting"), n);
    reportLatencies("bus_restarts", latencies, kBackoffBoundS);
    EXPECT_TRUE(waitForUploads([&](const auto& uploads) { return countStatus(uploads, "resetting") >= n; }));
}

}  // namespace
}  // namespace brelo::test
