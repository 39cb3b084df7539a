#include "bluetooth/bluez/object_cache.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline_bus.h"

namespace brelo::bluetooth::bluez {
namespace {

constexpr const char* kHci0 = "/org/bluez/hci0";
constexpr const char* kDev = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF";

class ObjectCacheTest : public ::testing::Test {
protected:
    // Two adapters, listed out of order, only hci0 with the advertising manager; one device
    // that carries an RSSI; an object of no interest.
    void loadTwoAdapters() {
        auto m = bus.signal("/", "org.example", "Objects", [](sd_bus_message* m) {
            sd_bus_message_append(m, "a{oa{sa{sv}}}", 4,                                                   //
                                  "/org/bluez", 1, "org.bluez.AgentManager1", 0,                           //
                                  "/org/bluez/hci1", 1, "org.bluez.Adapter1", 1, "Powered", "b", 0,        //
                                  kHci0, 3, "org.freedesktop.DBus.Introspectable", 0,                      //
                                  /**/ "org.bluez.Adapter1", 2, "Powered", "b", 1, "Discovering", "b", 1,  //
                                  /**/ "org.bluez.LEAdvertisingManager1", 1, "ActiveInstances", "y", 0,    //
                                  kDev, 1, "org.bluez.Device1", 2, "Address", "s", "AA:BB:CC:DD:EE:FF",    //
                                  /**/ "RSSI", "n", -60);
        });
        ASSERT_GE(cache.load(m.get()), 0);
    }

    CacheChange propertiesChanged(const char* path, const char* interface,
                                  const std::function<void(sd_bus_message*)>& changed,
                                  const std::vector<const char*>& invalidated = {}) {
        auto m = bus.propertiesChanged(path, interface, changed, invalidated);
        CacheChange change;
        EXPECT_GE(cache.propertiesChanged(m.get(), change), 0);
        change.devicePath = {};  // points into the message, which is gone now
        change.discoveringAdapter = {};
        return change;
    }

    // An InterfacesAdded (member "Added", "oa{sa{sv}}") or InterfacesRemoved ("Removed", "oas")
    // signal, its body appended by fill, fed to cache.
    template <class Fill>
    CacheChange objects(const char* member, Fill fill) {
        auto m = bus.signal("/", "org.freedesktop.DBus.ObjectManager", (std::string("Interfaces") + member).c_str(),
                            [&](sd_bus_message* m) { fill(m); });
        CacheChange change;
        EXPECT_GE(member[0] == 'A' ? cache.interfacesAdded(m.get(), change) : cache.interfacesRemoved(m.get(), change), 0);
        addedPath = std::string(change.devicePath);
        change.devicePath = {};  // points into the message, which is gone now
        return change;
    }

    test::OfflineBus bus;
    ObjectCache cache;
    std::string addedPath;  // devicePath of the last deviceAdded
};

TEST_F(ObjectCacheTest, OneReportPerDeviceSignalThatCarriesRssi) {
    loadTwoAdapters();
    struct Case {
        const char* name;
        std::function<void(sd_bus_message*)> changed;
        std::vector<const char*> invalidated;
        bool report;
    };
    const std::vector<Case> cases = {
        {"RSSI", [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "RSSI", "n", -50); }, {}, true},
        {"RSSI with manufacturer data",
         [](sd_bus_message* m) {
             sd_bus_message_append(m, "a{sv}", 2, "ManufacturerData", "a{qv}", 1, 7, "ay", 1, 1, "RSSI", "n", -51);
         },
         {},
         true},
        {"name only", [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "Name", "s", "Desk"); }, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CacheChange change = propertiesChanged(kDev, "org.bluez.Device1", c.changed, c.invalidated);
        EXPECT_EQ(change.device, c.report ? cache.device(kDev) : nullptr);
        EXPECT_FALSE(change.adapters);
    }
    // Values accumulate: the name from one signal is still there at the next RSSI.
    CacheChange change = propertiesChanged(
        kDev, "org.bluez.Device1", [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "RSSI", "n", -52); });
    ASSERT_NE(change.device, nullptr);
    EXPECT_EQ(change.device->advertisement.localName, "Desk");
    EXPECT_EQ(change.device->advertisement.manufacturerData, (std::vector<uint8_t>{7, 0, 1}));
    EXPECT_EQ(change.device->rssi, -52);

    // A device never announced is not invented from a lone PropertiesChanged.
    change = propertiesChanged("/org/bluez/hci0/dev_00_00_00_00_00_01", "org.bluez.Device1",
                               [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "RSSI", "n", -40); });
    EXPECT_EQ(change.device, nullptr);
}

TEST_F(ObjectCacheTest, InterfacesAddedReportsOnlyWithRssiAndReplacesOldValues) {
    loadTwoAdapters();
    auto change = objects("Added", [](sd_bus_message* m) {
        sd_bus_message_append(m, "oa{sa{sv}}", "/org/bluez/hci0/dev_11", 1, "org.bluez.Device1", 1, "Address", "s",
                              "11:00:00:00:00:00");
    });
    EXPECT_EQ(change.device, nullptr);
    EXPECT_NE(cache.device("/org/bluez/hci0/dev_11"), nullptr);

    propertiesChanged(kDev, "org.bluez.Device1",
                      [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "Name", "s", "Old"); });
    change = objects("Added", [](sd_bus_message* m) {
        sd_bus_message_append(m, "oa{sa{sv}}", kDev, 1, "org.bluez.Device1", 2, "Address", "s", "AA:BB:CC:DD:EE:FF",
                              "RSSI", "n", -70);
    });
    ASSERT_EQ(change.device, cache.device(kDev));
    EXPECT_EQ(addedPath, kDev);
    EXPECT_EQ(change.device->rssi, -70);
    EXPECT_EQ(change.device->advertisement.localName, std::nullopt) << "nothing kept from before";
}

TEST_F(ObjectCacheTest, AdapterSignals) {
    loadTwoAdapters();
    // hci0 changes one property: set(name, type, value).
    auto set = [&](const char* name, const char* type, auto value) {
        return propertiesChanged(kHci0, "org.bluez.Adapter1", [&](sd_bus_message* m) {
            sd_bus_message_append(m, "a{sv}", 1, name, type, value);
        });
    };
    auto change = set("Discovering", "b", 0);
    EXPECT_TRUE(change.discoveringStopped);
    EXPECT_FALSE(change.adapters);
    EXPECT_FALSE(set("Discovering", "b", 0).discoveringStopped) << "already stopped";

    EXPECT_TRUE(set("Powered", "b", 0).adapters);
    EXPECT_EQ(cache.adapter(kHci0)->powered, false);
    EXPECT_TRUE(set("Powered", "s", "yes").adapters);
    EXPECT_FALSE(cache.adapter(kHci0)->powered) << "a mistyped Powered is unknown, never on";
    set("Powered", "b", 1);
    EXPECT_TRUE(propertiesChanged(kHci0, "org.bluez.Adapter1", [](sd_bus_message* m) {
                    sd_bus_message_append(m, "a{sv}", 0);
                }, {"Powered"}).adapters);
    EXPECT_FALSE(cache.adapter(kHci0)->powered) << "an invalidated Powered is unknown";

    EXPECT_TRUE(objects("Removed", [](sd_bus_message* m) {
                    sd_bus_message_append(m, "oas", kHci0, 1, "org.bluez.LEAdvertisingManager1");
                }).adapters);
    EXPECT_FALSE(cache.hasAdvertisingManager(kHci0));

    change = objects("Removed", [](sd_bus_message* m) {
        sd_bus_message_append(m, "oas", kHci0, 2, "org.freedesktop.DBus.Properties", "org.bluez.Adapter1");
    });
    EXPECT_TRUE(change.adapters);
    EXPECT_EQ(cache.adapter(kHci0), nullptr);
    EXPECT_EQ(cache.device(kDev), nullptr) << "devices go with their adapter";
    EXPECT_EQ(cache.adapters().size(), 1u);
}

TEST_F(ObjectCacheTest, DeviceRemoved) {
    loadTwoAdapters();
    objects("Removed", [](sd_bus_message* m) { sd_bus_message_append(m, "oas", kDev, 1, "org.bluez.Device1"); });
    EXPECT_EQ(cache.device(kDev), nullptr);
    EXPECT_EQ(cache.deviceCount(), 0u);
}

}  // namespace
}  // namespace brelo::bluetooth::bluez
