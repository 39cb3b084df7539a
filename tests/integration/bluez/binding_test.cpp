// The binding in this process against fake-bluez on a private bus: the rules the program
// tests cannot reach or time (which manager takes an advertisement, the UUID filter of a
// service scan, the window's kernel scans, the adapter in use going, a lost bus).
#include "bluetooth/bluez/bluez_platform.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/private_bus.h"
#include "threaded_double.h"
#include "runtime/event_loop.h"

namespace brelo::bluetooth::bluez {
namespace {

using namespace std::chrono_literals;

const Uuid kHouse = *Uuid::parse("7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
const Uuid kListener = *Uuid::parse("7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8");

// Scans (central) or advertises (beacon) on every powered-on report, as the program does.
struct Manager : CentralManagerDelegate, PeripheralManagerDelegate {
    void centralManagerDidUpdateState(CentralManager& m) override {
        states.push_back(m.state());
        if (scan && m.state() == ManagerState::poweredOn)
            m.scanForPeripherals(services);
    }
    void centralManagerDidDiscover(CentralManager&, const Advertisement& a) override { adverts.push_back(a); }
    void peripheralManagerDidUpdateState(PeripheralManager& m) override {
        states.push_back(m.state());
        if (m.state() == ManagerState::poweredOn)
            m.startAdvertising({"KVQ-node", {kListener}});
    }
    void peripheralManagerDidStartAdvertising(PeripheralManager&, const std::optional<std::string>& e) override {
        outcomes.push_back(e);
    }

    bool scan = true;
    std::optional<std::vector<Uuid>> services;
    std::vector<ManagerState> states;
    std::vector<Advertisement> adverts;
    std::vector<std::optional<std::string>> outcomes;
};

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        bus = std::make_unique<test::PrivateBus>();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
        fake = std::make_unique<fakebluez::ThreadedDouble>(bus->address());
        // The double's output is no event of this loop: a tick makes waits look at it.
        tick = loop.repeating(0.005, [] {});
    }
    void TearDown() override {
        central.reset();
        family.reset();
        peripheral.reset();
        platform.reset();
        fake.reset();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    // The listener's two central managers (everything, then house devices) and the beacon.
    void start(BluezOptions options = {}) {
        options.backoffFirstS = 0.05;
        options.backoffMaxS = 0.2;
        platform = std::make_unique<BluezPlatform>(loop, options);
        familyDelegate.services = std::vector<Uuid>{kHouse};
        central = platform->makeCentralManager(centralDelegate);
        family = platform->makeCentralManager(familyDelegate);
        peripheral = platform->makePeripheralManager(beacon);
    }
    bool waitFor(const std::function<bool()>& pred) { return loop.runUntil(pred, 10s); }
    bool waitLines(const std::string& text, size_t n = 1) {
        return waitFor([&] { return fake->countLines(text) >= n; });
    }
    // Runs script lines while the loop keeps serving the binding.
    void run(const std::string& lines) {
        fake->send(lines + "\necho done-" + std::to_string(++marker));
        ASSERT_TRUE(waitLines("done-" + std::to_string(marker)));
    }
    size_t lastIndexOf(const std::string& text, bool first = false) {
        const auto& all = fake->lines();
        size_t found = all.size();
        for (size_t i = all.size(); i-- > 0;)
            if (all[i].find(text) != std::string::npos && (found = i, !first))
                break;
        return found;
    }

    runtime::EventLoop loop;
    std::unique_ptr<test::PrivateBus> bus;
    std::unique_ptr<fakebluez::ThreadedDouble> fake;
    std::unique_ptr<BluezPlatform> platform;
    Manager centralDelegate, familyDelegate, beacon;
    std::unique_ptr<CentralManager> central, family;
    std::unique_ptr<PeripheralManager> peripheral;
    std::unique_ptr<runtime::Timer> tick;
    int marker = 0;
};

TEST_F(Binding, TheFirstManagerTakesEveryAdvertisementAndTheFilterComesFirst) {
    run("adapter add hci0");
    start();
    ASSERT_TRUE(waitLines("discovery start"));
    EXPECT_LT(lastIndexOf("filter :", true), lastIndexOf("discovery start", true));
    EXPECT_EQ(fake->countLines("UUIDs="), 0u) << "the central scans for everything";
    // A house device too: the first manager takes it, not the service scan.
    run("advert hci0 AA:BB:CC:DD:EE:FF rssi=-50 name=Desk uuids=7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    ASSERT_TRUE(waitFor([&] { return centralDelegate.adverts.size() == 1; }));
    EXPECT_TRUE(familyDelegate.adverts.empty());
}

TEST_F(Binding, AServiceScanAloneFiltersByItsUuidAndTakesOnlyItsDevices) {
    centralDelegate.scan = false;
    run("adapter add hci0");
    start();
    ASSERT_TRUE(waitLines("discovery start"));
    EXPECT_NE(fake->lines()[lastIndexOf("filter :")].find("UUIDs=7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8"),
              std::string::npos);
    run("advert hci0 11:11:11:11:11:11 rssi=-40 name=Other uuids=180F\n"
        "advert hci0 AA:BB:CC:DD:EE:FF rssi=-50 name=House uuids=7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    ASSERT_TRUE(waitFor([&] { return !familyDelegate.adverts.empty(); }));
    EXPECT_EQ(familyDelegate.adverts.size(), 1u);
    EXPECT_EQ(familyDelegate.adverts[0].localName, "House");
    EXPECT_TRUE(centralDelegate.adverts.empty());
}

// Under the kernel's duplicate filter a steady device is heard once per kernel scan: each
// window gets a new scan by a change of the filter, never by a stop, which would make BlueZ
// drop and re-add its temporary devices.
TEST_F(Binding, EachWindowGetsANewKernelScanWithoutStoppingDiscovery) {
    BluezOptions options;
    options.rediscoverPhaseS = 0.1;
    run("dupfilter on\nadapter add hci0");
    start(options);
    auto windows = loop.repeating(0.2, [&] { platform->reportWindowBegan(); });
    ASSERT_TRUE(waitLines("discovery start"));
    run("every 0.02 advert hci0 AA:BB:CC:DD:EE:FF rssi=-50");
    ASSERT_TRUE(waitLines("kernel scan restarted", 4));
    EXPECT_GE(centralDelegate.adverts.size(), 4u);
    EXPECT_EQ(fake->countLines("discovery stop"), 0u);
    EXPECT_EQ(fake->countLines("discovery start"), 1u);
    EXPECT_GE(fake->countLines("RSSI=-126"), 2u) << "the floor alternates";
    EXPECT_GE(fake->countLines("RSSI=-127"), 2u) << "the floor alternates";
}

TEST_F(Binding, WhenTheAdapterInUseGoesTheNextOneIsTakenWithoutAStateChange) {
    run("adapter add hci1\nadapter add hci0");
    start();
    ASSERT_TRUE(waitLines("discovery start"));
    ASSERT_TRUE(waitFor([&] { return beacon.outcomes.size() == 1; }));
    EXPECT_NE(fake->lines()[lastIndexOf("discovery start")].find("adapter=hci0"), std::string::npos);
    // The state stays powered on, so nobody asks again: the binding moves scan and
    // advertisement to the other adapter by itself.
    run("adapter remove hci0");
    ASSERT_TRUE(waitFor([&] { return lastIndexOf("adapter=hci1") > lastIndexOf("adapter removed hci0") &&
                                     fake->lines()[lastIndexOf("discovery start")].find("adapter=hci1") !=
                                         std::string::npos; }));
    ASSERT_TRUE(waitFor([&] { return beacon.outcomes.size() == 2; }));
    EXPECT_EQ(beacon.outcomes[1], std::nullopt);
    EXPECT_EQ(centralDelegate.states, std::vector<ManagerState>{ManagerState::poweredOn});
    run("adapter remove hci1");
    ASSERT_TRUE(waitFor([&] { return centralDelegate.states.back() == ManagerState::unsupported; }));
}

TEST_F(Binding, ALostBusIsResettingThenEverythingResumesOnTheNewOne) {
    run("adapter add hci0");
    start();
    ASSERT_TRUE(waitFor([&] { return beacon.outcomes.size() == 1; }));
    fake.reset();
    bus->restart();
    // DBUS_SYSTEM_BUS_ADDRESS still names the old daemon's guid: the binding must not care.
    ASSERT_TRUE(waitFor([&] { return centralDelegate.states.back() == ManagerState::resetting; }));
    fake = std::make_unique<fakebluez::ThreadedDouble>(bus->address());
    run("adapter add hci0");
    ASSERT_TRUE(waitLines("discovery start"));
    ASSERT_TRUE(waitFor([&] { return beacon.outcomes.size() == 2; }));
    EXPECT_EQ(beacon.outcomes[1], std::nullopt);
    run("advert hci0 AA:BB:CC:DD:EE:FF rssi=-50");
    ASSERT_TRUE(waitFor([&] { return !centralDelegate.adverts.empty(); }));
}

}  // namespace
}  // namespace brelo::bluetooth::bluez
