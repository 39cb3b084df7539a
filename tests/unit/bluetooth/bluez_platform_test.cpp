// The binding against a real bus: a private dbus-daemon and a minimal stand-in for BlueZ on
// the same loop. The full BlueZ double and the program-level tests live elsewhere; these
// check the binding's own rules (states, discovery, routing, advertising, reconnection).

#include "bluetooth/bluez/bluez_platform.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bluetooth/bluez/device_properties.h"
#include "mini_bluez.h"
#include "support/private_bus.h"

namespace brelo::bluetooth::bluez {
namespace {

using namespace std::chrono_literals;

const Uuid kHouse = *Uuid::parse("7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
const Uuid kListener = *Uuid::parse("7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8");
constexpr const char* kHci0 = "/org/bluez/hci0";
constexpr const char* kDesk = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF";
constexpr const char* kPlainFilter = "SetDiscoveryFilter Transport=le DuplicateData=true RSSI=-127";

// Scans on every powered-on report, as the listener does.
struct Central : CentralManagerDelegate {
    void centralManagerDidUpdateState(CentralManager& m) override {
        states.push_back(m.state());
        if (scan && m.state() == kStatePoweredOn)
            m.scanForPeripherals(services, true);
    }
    void centralManagerDidDiscover(CentralManager&, const Advertisement& a) override { adverts.push_back(a); }

    bool scan = true;
    std::optional<std::vector<Uuid>> services;
    std::vector<ManagerState> states;
    std::vector<Advertisement> adverts;
    std::unique_ptr<CentralManager> manager;
};

// Advertises on every powered-on report, as the beacon does.
struct Peripheral : PeripheralManagerDelegate {
    void peripheralManagerDidUpdateState(PeripheralManager& m) override {
        states.push_back(m.state());
        if (m.state() == kStatePoweredOn)
            m.startAdvertising({"KVQ-node", {kListener}});
    }
    void peripheralManagerDidStartAdvertising(PeripheralManager&, const std::optional<std::string>& error) override {
        outcomes.push_back(error);
    }

    std::vector<ManagerState> states;
    std::vector<std::optional<std::string>> outcomes;
    std::unique_ptr<PeripheralManager> manager;
};

class BluezPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        bus = std::make_unique<test::PrivateBus>();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
        bluez = std::make_unique<test::MiniBluez>(loop.get(), bus->address());
    }

    void TearDown() override {
        central.manager.reset();
        family.manager.reset();
        peripheral.manager.reset();
        platform.reset();
        bluez.reset();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    static BluezOptions fast() {
        BluezOptions o;
        o.backoffFirstS = 0.05;
        o.backoffMaxS = 0.2;
        return o;
    }

    // The platform with the listener's two central managers and the beacon's peripheral.
    void start(BluezOptions options = fast()) {
        platform = std::make_unique<BluezPlatform>(loop, options);
        family.services = std::vector<Uuid>{kHouse};
        central.manager = platform->makeCentralManager(central);
        family.manager = platform->makeCentralManager(family);
        peripheral.manager = platform->makePeripheralManager(peripheral);
    }

    bool waitFor(const std::function<bool()>& pred) { return loop.runUntil(pred, 10s); }

    bool lastStatesAre(ManagerState c, ManagerState p) {
        return !central.states.empty() && central.states.back() == c && !family.states.empty() &&
               family.states.back() == c && !peripheral.states.empty() && peripheral.states.back() == p;
    }

    void startScanning() {
        bluez->addAdapter(kHci0);
        bluez->own();
        start();
        ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
        ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > 0; }));
    }

    // The discovery call made just before the call at index (advertising calls skipped).
    std::string discoveryCallBefore(size_t index) const {
        while (index-- > 0) {
            const std::string& c = bluez->calls[index];
            if (c.find("Discovery") != std::string::npos)
                return c;
        }
        return "";
    }

    size_t lastIndexOf(const std::string& prefix) const {
        for (size_t i = bluez->calls.size(); i-- > 0;)
            if (bluez->calls[i].rfind(prefix, 0) == 0)
                return i;
        return bluez->calls.size();
    }

    // Waits until the stand-in's own advertisement arrived, so that anything sent before it
    // (from any sender) has been handled by then.
    void settle() {
        size_t before = central.adverts.size() + family.adverts.size();
        bluez->addDevice("/org/bluez/hci0/dev_00_00_00_00_00_99", {"00:00:00:00:00:99", -99, std::nullopt, {}});
        ASSERT_TRUE(waitFor([&] { return central.adverts.size() + family.adverts.size() > before; }));
    }

    runtime::EventLoop loop;
    std::unique_ptr<test::PrivateBus> bus;
    std::unique_ptr<test::MiniBluez> bluez;
    std::unique_ptr<BluezPlatform> platform;
    Central central;
    Central family;
    Peripheral peripheral;
};

TEST_F(BluezPlatformTest, PoweredAdapterIsReportedAfterCreationThenDiscoveryWithTheFilterFirst) {
    bluez->addAdapter(kHci0);
    bluez->own();
    start();
    EXPECT_TRUE(central.states.empty()) << "never reported from inside creation";
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
    EXPECT_EQ(central.states, std::vector<ManagerState>{kStatePoweredOn});
    EXPECT_EQ(peripheral.states, std::vector<ManagerState>{kStatePoweredOn});
    EXPECT_EQ(platform->authorization(), kAuthorizationAllowedAlways);

    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > 0; }));
    EXPECT_EQ(discoveryCallBefore(lastIndexOf("StartDiscovery")), kPlainFilter)
        << "the filter is always set just before starting";
    // The central scans for everything, so no UUID filter ever narrows BlueZ's discovery.
    for (const auto& call : bluez->calls)
        EXPECT_EQ(call.find("UUIDs"), std::string::npos) << call;
}

TEST_F(BluezPlatformTest, EachAdvertisementGoesToTheFirstAcceptingManagerWithItsFields) {
    startScanning();
    bluez->addDevice(kDesk, {"AA:BB:CC:DD:EE:FF", -50, "Desk", {"7e5b8a10-9c2f-4d6a-b1e4-0f3a7c91d2e8"}});
    ASSERT_TRUE(waitFor([&] { return central.adverts.size() == 1; }));
    const Advertisement& a = central.adverts[0];
    EXPECT_EQ(a.identifier, identifierForAddress("AA:BB:CC:DD:EE:FF"));
    EXPECT_EQ(a.rssi, -50);
    EXPECT_EQ(a.localName, "Desk");
    EXPECT_FALSE(a.peripheralName);
    ASSERT_TRUE(a.serviceUuids);
    EXPECT_EQ(*a.serviceUuids, std::vector<Uuid>{kHouse});

    bluez->advertise(kDesk, -60);
    bluez->rename(kDesk, "Desk 2");  // no RSSI: not an advertisement
    bluez->advertise(kDesk, -61);
    ASSERT_TRUE(waitFor([&] { return central.adverts.size() == 3; }));
    EXPECT_EQ(central.adverts[1].rssi, -60);
    EXPECT_EQ(central.adverts[2].rssi, -61);
    EXPECT_EQ(central.adverts[2].localName, "Desk 2");
    // The central was made first and takes everything, house devices included.
    EXPECT_TRUE(family.adverts.empty());
}

TEST_F(BluezPlatformTest, SignalsFromAnyoneButBluezAreIgnored) {
    startScanning();
    bluez->addDevice(kDesk, {"AA:BB:CC:DD:EE:FF", -50, std::nullopt, {}});
    ASSERT_TRUE(waitFor([&] { return central.adverts.size() == 1; }));

    test::MiniBluez rogue(loop.get(), bus->address());
    rogue.advertise(kDesk, -10);
    rogue.setPowered(kHci0, false);
    rogue.removeAdapter(kHci0);
    settle();
    for (const auto& a : central.adverts)
        EXPECT_NE(a.rssi, -10);
    EXPECT_EQ(central.states.back(), kStatePoweredOn);
}

TEST_F(BluezPlatformTest, ServiceScanAloneFiltersByUuidAndTakesOnlyItsDevices) {
    central.scan = false;
    startScanning();
    EXPECT_EQ(discoveryCallBefore(lastIndexOf("StartDiscovery")),
              std::string(kPlainFilter) + " UUIDs=7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8,");

    bluez->addDevice("/org/bluez/hci0/dev_11_11_11_11_11_11", {"11:11:11:11:11:11", -40, "Other", {"180F"}});
    bluez->addDevice(kDesk, {"AA:BB:CC:DD:EE:FF", -50, "House", {kHouse.canonical()}});
    ASSERT_TRUE(waitFor([&] { return !family.adverts.empty(); }));
    EXPECT_EQ(family.adverts.size(), 1u);
    EXPECT_EQ(family.adverts[0].localName, "House");
    EXPECT_TRUE(central.adverts.empty());
}

TEST_F(BluezPlatformTest, PowerCycleReportsOffThenOnAndScansAgain) {
    startScanning();
    size_t starts = bluez->count("StartDiscovery");
    bluez->setPowered(kHci0, false);
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOff, kStatePoweredOff); }));
    bluez->setPowered(kHci0, true);
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > starts; }));
    EXPECT_EQ(central.states, (std::vector<ManagerState>{kStatePoweredOn, kStatePoweredOff, kStatePoweredOn}));
}

TEST_F(BluezPlatformTest, DiscoveryThatFallsIsStartedAgainWithTheFilter) {
    startScanning();
    size_t starts = bluez->count("StartDiscovery");
    bluez->setDiscovering(kHci0, false);
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > starts; }));
    EXPECT_EQ(discoveryCallBefore(lastIndexOf("StartDiscovery")), kPlainFilter);
}

TEST_F(BluezPlatformTest, StalledDiscoveryIsStoppedAndStartedAgain) {
    BluezOptions options = fast();
    options.stallS = 0.3;
    options.stallCheckIntervalS = 0.05;
    bluez->addAdapter(kHci0);
    bluez->own();
    start(options);
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > 0; }));
    bluez->addDevice(kDesk, {"AA:BB:CC:DD:EE:FF", -50, std::nullopt, {}});
    ASSERT_TRUE(waitFor([&] { return bluez->count("StopDiscovery") > 0; }));
    ASSERT_TRUE(waitFor([&] { return lastIndexOf("StartDiscovery") > lastIndexOf("StopDiscovery"); }));
    size_t start = lastIndexOf("StartDiscovery");
    EXPECT_EQ(discoveryCallBefore(start), kPlainFilter);
    EXPECT_EQ(discoveryCallBefore(lastIndexOf("SetDiscoveryFilter")), std::string("StopDiscovery ") + kHci0);
    EXPECT_EQ(bluez->count("StopDiscovery"), 1u) << "nothing heard since: no second restart";
}

TEST_F(BluezPlatformTest, WithoutAdapterOrOwnerUnsupportedAndResettingAfterAnOwnerWent) {
    start();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateUnsupported, kStateUnsupported); }));  // no owner
    bluez->own();
    ASSERT_TRUE(waitFor([&] { return bluez->count("GetManagedObjects") > 0; }));
    bluez->addAdapter(kHci0, {.powered = true, .discovering = false, .advertising = false});
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStateUnsupported); }));
    bluez->disown();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateResetting, kStateResetting); }));
    size_t starts = bluez->count("StartDiscovery");
    bluez->own();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStateUnsupported); }));
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > starts; }));
    EXPECT_TRUE(peripheral.outcomes.empty()) << "no advertising manager, no advertising";
}

TEST_F(BluezPlatformTest, AdapterInUseGoesTheNextOneIsTaken) {
    bluez->addAdapter("/org/bluez/hci1");
    bluez->addAdapter(kHci0);
    bluez->own();
    start();
    ASSERT_TRUE(waitFor([&] { return bluez->count(std::string("StartDiscovery ") + kHci0) > 0; }));
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 1; }));
    bluez->removeAdapter(kHci0);
    // The state stays powered on, so nobody asks again: the binding moves scan and
    // advertisement to the new adapter by itself.
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery /org/bluez/hci1") > 0; }));
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 2; }));
    EXPECT_EQ(peripheral.outcomes[1], std::nullopt);
    EXPECT_EQ(central.states, std::vector<ManagerState>{kStatePoweredOn});
    bluez->removeAdapter("/org/bluez/hci1");
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateUnsupported, kStateUnsupported); }));
}

TEST_F(BluezPlatformTest, AccessRefusedIsUnauthorizedUntilBluezAnswersAgain) {
    bluez->addAdapter(kHci0);
    bluez->refuseAll = {"org.freedesktop.DBus.Error.AccessDenied", "Rejected send message"};
    bluez->own();
    start();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateUnauthorized, kStateUnauthorized); }));
    EXPECT_EQ(platform->authorization(), kAuthorizationDenied);
    bluez->refuseAll.reset();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
    EXPECT_EQ(platform->authorization(), kAuthorizationAllowedAlways);
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > 0; }));
}

TEST_F(BluezPlatformTest, AdvertisementIsUnregisteredThenRegisteredAndReadBack) {
    startScanning();
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 1; }));
    EXPECT_EQ(peripheral.outcomes[0], std::nullopt);
    auto unregister = std::find_if(bluez->calls.begin(), bluez->calls.end(),
                                   [](const std::string& c) { return c.rfind("UnregisterAdvertisement /", 0) == 0; });
    ASSERT_NE(unregister, bluez->calls.end());
    auto registered = std::find(unregister, bluez->calls.end(),
                                "RegisterAdvertisement Type=broadcast ServiceUUIDs=7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8 "
                                "LocalName=KVQ-node");
    EXPECT_NE(registered, bluez->calls.end());

    // A power cycle ends with it registered again.
    bluez->setPowered(kHci0, false);
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOff, kStatePoweredOff); }));
    bluez->setPowered(kHci0, true);
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 2; }));
    EXPECT_EQ(peripheral.outcomes[1], std::nullopt);
    EXPECT_EQ(bluez->count("RegisterAdvertisement refused"), 0u);
}

TEST_F(BluezPlatformTest, RefusedRegistrationReportsBluezsMessage) {
    bluez->refuseRegistration = {"org.bluez.Error.NotPermitted", "Maximum advertisements reached"};
    startScanning();
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 1; }));
    EXPECT_EQ(peripheral.outcomes[0], "Maximum advertisements reached");
    // Too many advertisements is not a refusal of access.
    EXPECT_EQ(platform->authorization(), kAuthorizationAllowedAlways);
    EXPECT_EQ(peripheral.states.back(), kStatePoweredOn);

    bluez->refuseRegistration = {"org.bluez.Error.Failed", "Failed to parse advertisement."};
    peripheral.manager->startAdvertising({"KVQ-node", {kListener}});
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 2; }));
    EXPECT_EQ(peripheral.outcomes[1], "Failed to parse advertisement.");
}

TEST_F(BluezPlatformTest, RegistrationRefusedForAccessIsUnauthorizedAndRetriedQuietly) {
    bluez->refuseRegistration = {"org.freedesktop.DBus.Error.AccessDenied", "Rejected send message"};
    startScanning();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateUnauthorized, kStateUnauthorized); }));
    EXPECT_EQ(platform->authorization(), kAuthorizationDenied);
    ASSERT_TRUE(waitFor([&] { return bluez->count("RegisterAdvertisement") >= 3; }));
    EXPECT_EQ(peripheral.outcomes, (std::vector<std::optional<std::string>>{"Rejected send message"}))
        << "retries do not repeat the refusal";
    bluez->refuseRegistration.reset();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
    EXPECT_EQ(platform->authorization(), kAuthorizationAllowedAlways);
}

TEST_F(BluezPlatformTest, ReleaseIsAcceptedOnlyFromBluez) {
    startScanning();
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 1; }));
    bluez->release(kHci0);
    ASSERT_TRUE(waitFor([&] { return bluez->count("Release answered") == 1; }));
    EXPECT_EQ(bluez->count("Release answered ok"), 1u);

    // Registered again, then a stranger tries to release it.
    peripheral.manager->startAdvertising({"KVQ-node", {kListener}});
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 2; }));
    sd_bus* raw = nullptr;
    ASSERT_GE(sd_bus_new(&raw), 0);
    runtime::BusPtr stranger(raw);
    sd_bus_set_address(raw, bus->address().c_str());
    sd_bus_set_bus_client(raw, 1);
    ASSERT_GE(sd_bus_start(raw), 0);
    // On the same loop: the binding answers only while the loop runs.
    ASSERT_GE(sd_bus_attach_event(raw, loop.get(), 0), 0);
    std::optional<std::string> answer;
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_call_method_async(
                  raw, &slot, bluez->lastRegistrant().c_str(), bluez->lastRegisteredPath().c_str(),
                  "org.bluez.LEAdvertisement1", "Release",
                  [](sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
                      const sd_bus_error* e = sd_bus_message_get_error(m);
                      *static_cast<std::optional<std::string>*>(userdata) = e ? e->name : "ok";
                      return 0;
                  },
                  &answer, ""),
              0);
    runtime::SlotPtr call(slot);
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
    EXPECT_EQ(answer, "org.freedesktop.DBus.Error.AccessDenied");
}

TEST_F(BluezPlatformTest, LostBusIsResettingThenEverythingResumes) {
    startScanning();
    ASSERT_TRUE(waitFor([&] { return peripheral.outcomes.size() == 1; }));
    bluez.reset();
    bus->restart();
    // DBUS_SYSTEM_BUS_ADDRESS still names the old daemon's guid: the binding must not care.
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStateResetting, kStateResetting); }));
    bluez = std::make_unique<test::MiniBluez>(loop.get(), bus->address());
    bluez->addAdapter(kHci0);
    bluez->own();
    ASSERT_TRUE(waitFor([&] { return lastStatesAre(kStatePoweredOn, kStatePoweredOn); }));
    ASSERT_TRUE(waitFor([&] { return bluez->count("StartDiscovery") > 0 && peripheral.outcomes.size() == 2; }));
    EXPECT_EQ(peripheral.outcomes[1], std::nullopt);
    bluez->addDevice(kDesk, {"AA:BB:CC:DD:EE:FF", -50, std::nullopt, {}});
    ASSERT_TRUE(waitFor([&] { return !central.adverts.empty(); }));
}

}  // namespace
}  // namespace brelo::bluetooth::bluez
