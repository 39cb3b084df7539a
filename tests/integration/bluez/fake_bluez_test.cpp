// fake-bluez itself: the double must answer like BlueZ, or the binding tests prove nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bus_client.h"
#include "fake_bluez_process.h"
#include "support/private_bus.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kManager = "org.bluez.LEAdvertisingManager1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kBeaconUuid = "7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8";

class FakeBluezTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed; the BlueZ double needs a private bus";
        bus_ = std::make_unique<test::PrivateBus>();
        fake_ = std::make_unique<test::FakeBluez>(*bus_);
        client_ = std::make_unique<test::BusClient>(bus_->address());
    }

    test::BusClient::Result adapterCall(const std::string& member, const test::BusClient::Append& append = {},
                                        const std::string& path = "/org/bluez/hci0") {
        return client_->call(path, kAdapter, member, append);
    }

    std::unique_ptr<test::PrivateBus> bus_;
    std::unique_ptr<test::FakeBluez> fake_;
    std::unique_ptr<test::BusClient> client_;
};

TEST_F(FakeBluezTest, ObjectManagerListsAdaptersAndOnlyTheDevicePropertiesThatExist) {
    ASSERT_TRUE(fake_->run("adapter add hci0\n"
                           "adapter add hci1 noadv off\n"
                           "device add hci0 AA:BB:CC:DD:EE:01\n"
                           "device add hci0 aa:bb:cc:dd:ee:02 name=Desk rssi=-50 tx=-12 mfg=59:01,4c:0215 uuids=180F"));
    test::ManagedObjects objects = test::managedObjects(*client_);

    auto& hci0 = objects["/org/bluez/hci0"];
    EXPECT_EQ(hci0[kAdapter]["Powered"], "true");
    EXPECT_EQ(hci0[kAdapter]["Discovering"], "false");
    EXPECT_TRUE(hci0.count(kManager));
    auto& hci1 = objects["/org/bluez/hci1"];
    EXPECT_EQ(hci1[kAdapter]["Powered"], "false");
    EXPECT_FALSE(hci1.count(kManager));

    // BlueZ leaves out what it does not know: no Name, RSSI, TxPower or ManufacturerData.
    auto& bare = objects["/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"][kDevice];
    EXPECT_EQ(bare["Address"], "AA:BB:CC:DD:EE:01");
    EXPECT_EQ(bare["Alias"], "AA-BB-CC-DD-EE-01");
    EXPECT_EQ(bare["Adapter"], "/org/bluez/hci0");
    for (const char* absent : {"Name", "RSSI", "TxPower", "ManufacturerData"})
        EXPECT_FALSE(bare.count(absent)) << absent;

    auto& full = objects["/org/bluez/hci0/dev_AA_BB_CC_DD_EE_02"][kDevice];
    EXPECT_EQ(full["Name"], "Desk");
    EXPECT_EQ(full["Alias"], "Desk");
    EXPECT_EQ(full["RSSI"], "-50");
    EXPECT_EQ(full["TxPower"], "-12");
    EXPECT_EQ(full["ManufacturerData"], "004c:0215,0059:01");
    EXPECT_EQ(full["UUIDs"], "0000180f-0000-1000-8000-00805f9b34fb");
}

// SetDiscoveryFilter checks types the way BlueZ does: RSSI must be int16, and so on.
TEST_F(FakeBluezTest, SetDiscoveryFilterChecksTypesLikeBlueZ) {
    ASSERT_TRUE(fake_->run("adapter add hci0\nadapter add hci1 off"));
    auto dict = [](std::function<int(sd_bus_message*)> entries) {
        return [entries](sd_bus_message* m) {
            int r = sd_bus_message_open_container(m, 'a', "{sv}");
            if (r >= 0)
                r = entries(m);
            return r < 0 ? r : sd_bus_message_close_container(m);
        };
    };
    struct Case {
        const char* what;
        std::function<int(sd_bus_message*)> entries;
        const char* error;  // empty: accepted
    };
    const std::string invalid = "org.bluez.Error.InvalidArguments";
    std::vector<Case> cases = {
        {"the listener's filter",
         [](sd_bus_message* m) {
             return sd_bus_message_append(m, "{sv}{sv}{sv}", "Transport", "s", "le", "DuplicateData", "b", 1, "RSSI",
                                          "n", static_cast<int16_t>(-127));
         },
         ""},
        {"RSSI as int32", [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "RSSI", "i", -127); },
         "org.bluez.Error.InvalidArguments"},
        {"RSSI below -127",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "RSSI", "n", static_cast<int16_t>(-128)); },
         "org.bluez.Error.InvalidArguments"},
        {"DuplicateData as text",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "DuplicateData", "s", "true"); },
         "org.bluez.Error.InvalidArguments"},
        {"unknown transport",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "Transport", "s", "radio"); },
         "org.bluez.Error.InvalidArguments"},
        {"UUIDs with a non-UUID",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "UUIDs", "as", 1, "not-a-uuid"); },
         "org.bluez.Error.InvalidArguments"},
        {"UUIDs short and long",
         [](sd_bus_message* m) {
             return sd_bus_message_append(m, "{sv}", "UUIDs", "as", 2, "180f", "7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
         },
         ""},
        {"unknown key", [](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "Colour", "s", "red"); },
         "org.bluez.Error.InvalidArguments"},
        {"RSSI and Pathloss",
         [](sd_bus_message* m) {
             return sd_bus_message_append(m, "{sv}{sv}", "RSSI", "n", static_cast<int16_t>(-60), "Pathloss", "q",
                                          static_cast<uint16_t>(20));
         },
         "org.bluez.Error.InvalidArguments"},
        {"empty (clears)", [](sd_bus_message*) { return 0; }, ""},
    };
    for (auto& c : cases) {
        auto r = adapterCall("SetDiscoveryFilter", dict(c.entries));
        EXPECT_EQ(r.error, c.error) << c.what;
    }
    ASSERT_TRUE(fake_->run("echo filters done"));
    EXPECT_EQ(fake_->countLines("Transport=le DuplicateData=true RSSI=-127 adapter=hci0"), 1u);
    EXPECT_EQ(fake_->countLines("filter refused"), 7u);
    EXPECT_THAT(fake_->lines(), Contains(HasSubstr("RSSI has type i, expected n")));

    auto off = adapterCall("SetDiscoveryFilter", dict(cases[0].entries), "/org/bluez/hci1");
    EXPECT_EQ(off.error, "org.bluez.Error.NotReady");
}

TEST_F(FakeBluezTest, DiscoveryErrorsAndSessionsFollowBlueZ) {
    ASSERT_TRUE(fake_->run("adapter add hci0\nadapter add hci1 off"));
    EXPECT_EQ(adapterCall("StartDiscovery", {}, "/org/bluez/hci1").error, "org.bluez.Error.NotReady");
    EXPECT_TRUE(adapterCall("StartDiscovery").ok());
    EXPECT_EQ(client_->property("/org/bluez/hci0", kAdapter, "Discovering"), "true");
    EXPECT_EQ(adapterCall("StartDiscovery").error, "org.bluez.Error.InProgress");
    EXPECT_TRUE(adapterCall("StopDiscovery").ok());
    EXPECT_EQ(client_->property("/org/bluez/hci0", kAdapter, "Discovering"), "false");
    auto again = adapterCall("StopDiscovery");
    EXPECT_EQ(again.error, "org.bluez.Error.Failed");
    EXPECT_EQ(again.message, "No discovery started");

    // Another client's discovery ends when its connection does.
    {
        test::BusClient other(bus_->address());
        EXPECT_TRUE(other.call("/org/bluez/hci0", kAdapter, "StartDiscovery").ok());
    }
    ASSERT_TRUE(fake_->waitForLine("(client gone)"));
    EXPECT_EQ(client_->property("/org/bluez/hci0", kAdapter, "Discovering"), "false");

    // Power-off drops the session: starting again is not InProgress.
    EXPECT_TRUE(adapterCall("StartDiscovery").ok());
    ASSERT_TRUE(fake_->run("power hci0 off\npower hci0 on"));
    EXPECT_TRUE(adapterCall("StartDiscovery").ok());
}

TEST_F(FakeBluezTest, AdvertsReachDiscoveringClientsAsBlueZSignals) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    client_->recordSignals("org.bluez");
    ASSERT_TRUE(fake_->run("advert AA:BB:CC:DD:EE:01 rssi=-60"));
    EXPECT_EQ(fake_->countLines("advert dropped AA:BB:CC:DD:EE:01 adapter=hci0 (not discovering)"), 1u);

    ASSERT_TRUE(adapterCall("StartDiscovery").ok());
    ASSERT_TRUE(fake_->run("advert AA:BB:CC:DD:EE:01 rssi=-60 name=Desk\n"
                           "advert AA:BB:CC:DD:EE:01 rssi=-61\n"
                           "advert AA:BB:CC:DD:EE:01 rssi=-62 name=Lamp tx=4"));
    const std::string dev = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
    auto onDevice = [&] {
        std::vector<std::string> out;
        for (auto& s : client_->signals())
            if (s.find(dev) != std::string::npos)
                out.push_back(s);
        return out;
    };
    ASSERT_TRUE(client_->pumpUntil([&] { return onDevice().size() >= 3; }));
    auto signals = onDevice();
    EXPECT_THAT(signals[0], AllOf(HasSubstr("InterfacesAdded"), HasSubstr("RSSI=-60"), HasSubstr("Name=Desk")));
    // One PropertiesChanged per advert: RSSI always, other properties only when changed.
    EXPECT_THAT(signals[1], AllOf(HasSubstr("changed=RSSI=-61 invalidated="), Not(HasSubstr("Name"))));
    EXPECT_THAT(signals[2], AllOf(HasSubstr("Name=Lamp"), HasSubstr("TxPower=4"), HasSubstr("RSSI=-62")));

    // When discovery ends BlueZ invalidates RSSI and TxPower.
    ASSERT_TRUE(adapterCall("StopDiscovery").ok());
    ASSERT_TRUE(client_->pumpUntil([&] { return onDevice().size() >= 4; }));
    EXPECT_THAT(onDevice()[3], HasSubstr("changed= invalidated=RSSI,TxPower"));
}

// The LEAdvertisement1 object a test client exports, as the beacon does.
struct Advertisement {
    std::string localName = "KVQ-test";
    bool released = false;

    static int get(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void* userdata,
                   sd_bus_error*) {
        auto* self = static_cast<Advertisement*>(userdata);
        std::string p = property;
        if (p == "Type")
            return sd_bus_message_append(reply, "s", "broadcast");
        if (p == "LocalName")
            return sd_bus_message_append(reply, "s", self->localName.c_str());
        return sd_bus_message_append(reply, "as", 1, kBeaconUuid);
    }
    static int getWrongName(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                            sd_bus_error*) {
        return sd_bus_message_append(reply, "u", 7u);
    }
    static int release(sd_bus_message* m, void* userdata, sd_bus_error*) {
        static_cast<Advertisement*>(userdata)->released = true;
        return sd_bus_reply_method_return(m, "");
    }
};

const sd_bus_vtable kAdvertisementVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Type", "s", Advertisement::get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ServiceUUIDs", "as", Advertisement::get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("LocalName", "s", Advertisement::get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Release", "", "", Advertisement::release, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kMistypedAdvertisementVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Type", "s", Advertisement::get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("LocalName", "u", Advertisement::getWrongName, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

class AdvertisingTest : public FakeBluezTest {
protected:
    void SetUp() override {
        FakeBluezTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(fake_->run("adapter add hci0\nadapter add hci1 noadv"));
        export_("/test/adv", kAdvertisementVtable);
        export_("/test/mistyped", kMistypedAdvertisementVtable);
    }

    void export_(const char* path, const sd_bus_vtable* vtable) {
        sd_bus_slot* slot = nullptr;
        ASSERT_GE(sd_bus_add_object_vtable(client_->bus(), &slot, path, "org.bluez.LEAdvertisement1", vtable, &adv_),
                  0);
        slots_.emplace_back(slot);
    }

    test::BusClient::Result manager(const char* member, const char* path, const char* adapter = "/org/bluez/hci0") {
        return client_->call(adapter, kManager, member, [&](sd_bus_message* m) {
            int r = sd_bus_message_append(m, "o", path);
            if (r >= 0 && std::string(member) == "RegisterAdvertisement")
                r = sd_bus_message_append(m, "a{sv}", 0);
            return r;
        });
    }

    Advertisement adv_;
    std::vector<runtime::SlotPtr> slots_;
};

TEST_F(AdvertisingTest, RegisterReadsTheObjectBackBeforeAnswering) {
    // The client answers the read-back only because BusClient keeps processing while it
    // waits; a client blocked in a synchronous call would never be answered.
    auto r = manager("RegisterAdvertisement", "/test/adv");
    ASSERT_TRUE(r.ok()) << r.error << " " << r.message;
    const std::string me = client_->uniqueName();
    ASSERT_TRUE(fake_->waitForLine("registered " + me + " /test/adv type=broadcast name=KVQ-test uuids=" +
                                   std::string(kBeaconUuid) + " adapter=hci0"));
    EXPECT_EQ(client_->property("/org/bluez/hci0", kManager, "ActiveInstances"), "1");

    EXPECT_EQ(manager("RegisterAdvertisement", "/test/adv").error, "org.bluez.Error.AlreadyExists");
    EXPECT_TRUE(manager("UnregisterAdvertisement", "/test/adv").ok());
    EXPECT_EQ(manager("UnregisterAdvertisement", "/test/adv").error, "org.bluez.Error.DoesNotExist");

    ASSERT_TRUE(manager("RegisterAdvertisement", "/test/adv").ok());
    fake_->send("adv release");
    ASSERT_TRUE(client_->pumpUntil([&] { return adv_.released; }));
    EXPECT_EQ(manager("UnregisterAdvertisement", "/test/adv").error, "org.bluez.Error.DoesNotExist");

    // Without the advertising manager the interface is simply not there.
    EXPECT_FALSE(manager("RegisterAdvertisement", "/test/adv", "/org/bluez/hci1").ok());
}

TEST_F(AdvertisingTest, RefusalsCarryBlueZsErrorsAndMessages) {
    struct Case {
        const char* script;
        const char* path;
        const char* error;
        const char* message;
    };
    const Case cases[] = {
        {"adv refuse failed", "/test/adv", "org.bluez.Error.Failed", "Failed to register advertisement"},
        {"adv refuse notpermitted", "/test/adv", "org.bluez.Error.NotPermitted", "Maximum advertisements reached"},
        {"adv refuse off", "/test/mistyped", "org.bluez.Error.Failed", "Failed to parse advertisement."},
    };
    for (auto& c : cases) {
        ASSERT_TRUE(fake_->run(c.script));
        auto r = manager("RegisterAdvertisement", c.path);
        EXPECT_EQ(r.error, c.error) << c.script;
        EXPECT_EQ(r.message, c.message) << c.script;
    }
    EXPECT_TRUE(fake_->waitForCount("refused " + client_->uniqueName(), 3));
    // A refused registration leaves nothing behind.
    EXPECT_TRUE(manager("RegisterAdvertisement", "/test/adv").ok());
}

TEST_F(FakeBluezTest, DenyRefusesEveryCallWithAccessDenied) {
    ASSERT_TRUE(fake_->run("adapter add hci0\ndeny on"));
    auto r = client_->call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    EXPECT_EQ(r.error, "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(adapterCall("StartDiscovery").error, "org.freedesktop.DBus.Error.AccessDenied");
    ASSERT_TRUE(fake_->run("deny off"));
    EXPECT_TRUE(adapterCall("StartDiscovery").ok());
}

std::string ownerOfBluez(test::BusClient& client) {
    auto r = client.call(
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "org.bluez"); }, "org.freedesktop.DBus");
    const char* owner = nullptr;
    if (!r.ok() || sd_bus_message_read(r.reply.get(), "s", &owner) < 0)
        return "";
    return owner;
}

TEST_F(FakeBluezTest, RestartComesBackUnderANewNameWithFreshObjects) {
    ASSERT_TRUE(fake_->run("adapter add hci0\nadapter add hci1 off\ndevice add hci0 AA:BB:CC:DD:EE:01"));
    ASSERT_TRUE(adapterCall("StartDiscovery").ok());
    std::string before = ownerOfBluez(*client_);
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(fake_->run("restart 0.2"));
    EXPECT_EQ(fake_->countLines("ready"), 2u);
    std::string after = ownerOfBluez(*client_);
    EXPECT_FALSE(after.empty());
    EXPECT_NE(after, before);
    test::ManagedObjects objects = test::managedObjects(*client_);
    EXPECT_EQ(objects["/org/bluez/hci0"][kAdapter]["Powered"], "true");
    EXPECT_EQ(objects["/org/bluez/hci1"][kAdapter]["Powered"], "false");
    EXPECT_EQ(objects.count("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"), 0u);
    // The old session died with the old daemon.
    EXPECT_TRUE(adapterCall("StartDiscovery").ok());
}

TEST_F(FakeBluezTest, ImpostorSignalsComeFromAConnectionThatDoesNotOwnBluez) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    std::string owner = ownerOfBluez(*client_);
    client_->recordSignals();
    test::FakeBluez impostor(*bus_, {"--impostor"});
    ASSERT_TRUE(impostor.run("adapter add hci0\nadvert AA:BB:CC:DD:EE:09 rssi=-30 name=Fake"));
    ASSERT_TRUE(client_->pumpUntil([&] {
        for (auto& s : client_->signals())
            if (s.find("dev_AA_BB_CC_DD_EE_09") != std::string::npos)
                return true;
        return false;
    }));
    for (auto& s : client_->signals()) {
        if (s.find("/org/bluez") != std::string::npos) {
            EXPECT_THAT(s, Not(HasSubstr("from=" + owner))) << s;
        }
    }
    EXPECT_EQ(ownerOfBluez(*client_), owner);
}

TEST_F(FakeBluezTest, FloodSendsTheCountItWasAskedFor) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    client_->recordSignals("org.bluez");
    ASSERT_TRUE(adapterCall("StartDiscovery").ok());
    fake_->send("flood 5000 10 500");
    ASSERT_TRUE(fake_->waitForLine("flood sent 500", 20s)) << testing::PrintToString(fake_->lines());
    auto isAdvert = [](const std::string& s) { return s.find("/dev_F0_00_00") != std::string::npos; };
    ASSERT_TRUE(client_->pumpUntil(
        [&] { return std::count_if(client_->signals().begin(), client_->signals().end(), isAdvert) >= 500; }, 20s));
    EXPECT_EQ(std::count_if(client_->signals().begin(), client_->signals().end(), isAdvert), 500);
}

TEST_F(FakeBluezTest, BadScriptLinesAreReportedWithTheirPlaceAndSkipped) {
    ASSERT_TRUE(fake_->run("bogus\n"
                           "advert XX rssi=-60\n"
                           "adapter add hci0 wat\n"
                           "advert AA:BB:CC:DD:EE:01 rsi=-60\n"
                           "name=\"unterminated\n"
                           "sleep 0.05\n"
                           "adapter add hci0"));
    EXPECT_THAT(fake_->lines(), Contains("fake-bluez: stdin:1: unknown command 'bogus': bogus"));
    EXPECT_THAT(fake_->lines(), Contains(HasSubstr("stdin:2: 'XX' is not a Bluetooth address")));
    EXPECT_THAT(fake_->lines(), Contains(HasSubstr("stdin:3: unknown adapter flag 'wat'")));
    EXPECT_THAT(fake_->lines(), Contains(HasSubstr("stdin:4: unknown option 'rsi'")));
    EXPECT_THAT(fake_->lines(), Contains(HasSubstr("stdin:5: unterminated quote")));
    EXPECT_THAT(fake_->lines(), Contains("adapter added hci0 on"));
}

}  // namespace
}  // namespace brelo
