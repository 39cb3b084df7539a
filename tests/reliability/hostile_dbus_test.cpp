// brelo-ble listening to a BlueZ that sends what BlueZ would not: properties of the wrong
// D-Bus type, 64 KiB of manufacturer data, 10,000 UUIDs, names of 10 KiB full of control
// characters, addresses that are not addresses; and another process posing as BlueZ,
// down to calling Release on the node's advertisement. The node must upload sound JSON,
// take what it can read and drop only what it cannot, and keep running.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluetooth/bluez/device_properties.h"
#include "body_validator.h"
#include "hostile_bluez.h"
#include "loopback_server.h"
#include "support/child_process.h"
#include "support/private_bus.h"

namespace brelo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

std::string idOf(const std::string& address) { return bluetooth::bluez::identifierForAddress(address).canonical(); }

void manufacturerData(sd_bus_message* m, uint16_t company, const std::vector<uint8_t>& bytes) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", "ManufacturerData");
    sd_bus_message_open_container(m, 'v', "a{qv}");
    sd_bus_message_open_container(m, 'a', "{qv}");
    sd_bus_message_open_container(m, 'e', "qv");
    sd_bus_message_append(m, "q", company);
    sd_bus_message_open_container(m, 'v', "ay");
    sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
    for (int i = 0; i < 5; ++i)
        sd_bus_message_close_container(m);
}

void strings(sd_bus_message* m, const char* key, const std::vector<std::string>& values) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", key);
    sd_bus_message_open_container(m, 'v', "as");
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& v : values)
        sd_bus_message_append(m, "s", v.c_str());
    for (int i = 0; i < 3; ++i)
        sd_bus_message_close_container(m);
}

void bytes(sd_bus_message* m, const char* key, const std::string& value) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", key);
    sd_bus_message_open_container(m, 'v', "ay");
    sd_bus_message_append_array(m, 'y', value.data(), value.size());
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
}

void rssi(sd_bus_message* m, int16_t value = -50) { appendEntry(m, "RSSI", 'n', value); }
void address(sd_bus_message* m, const std::string& value) { appendEntry(m, "Address", 's', value.c_str()); }
void name(sd_bus_message* m, const std::string& value) { appendEntry(m, "Name", 's', value.c_str()); }

std::string tenKiBName() {
    std::string s;
    while (s.size() < 10 * 1024)
        s += "ab\ncd\r\t\x01\x1b[2J\x7f ";
    return s;
}

std::vector<std::string> tenThousandUuids() {
    std::vector<std::string> out;
    char text[40];
    for (int i = 0; i < 10000; ++i) {
        std::snprintf(text, sizeof text, "%08x-9c2f-4d6a-b1e4-0f3a7c91d2e8", i);
        out.push_back(text);
    }
    return out;
}

struct Case {
    const char* what;
    std::string address;  // whose records to look at; empty: the device has no usable address
    std::function<void(HostileBluez&, const std::string& path)> send;
    // Gets the records of the device (by its identifier, or by its name when it has none).
    std::function<void(const std::vector<json>& records)> check;
    std::string nameWhenNoAddress = {};
};

std::vector<Case> cases() {
    const std::string kName = tenKiBName();
    return {
        {"RSSI of the wrong type makes no advertisement", "C0:FF:EE:00:01:01",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:01");
                 name(m, "wrong-rssi");
                 appendEntry(m, "RSSI", 'i', int32_t{-50});
             });
             b.deviceChanged(path, [](sd_bus_message* m) { appendEntry(m, "RSSI", 'y', uint8_t{200}); }, {});
         },
         [](const std::vector<json>& records) { EXPECT_TRUE(records.empty()); }},
        {"name as bytes counts as no name", "C0:FF:EE:00:01:02",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:02");
                 bytes(m, "Name", "bytes");
                 rssi(m);
             });
             // Then: RSSI invalidated (no advertisement), and an impostor's reading and name.
             b.deviceChanged(path, [](sd_bus_message*) {}, {"RSSI"});
             b.deviceChanged(
                 path,
                 [](sd_bus_message* m) {
                     name(m, "impostor");
                     rssi(m, -20);
                 },
                 {}, true);
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_EQ(records[0]["name"], "");
             EXPECT_EQ(records[0]["packets"], 1);
         }},
        {"64 KiB of manufacturer data keep its first 32 bytes", "C0:FF:EE:00:01:03",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:03");
                 manufacturerData(m, 0x004c, std::vector<uint8_t>(64 * 1024, 0xab));
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_EQ(records[0]["company"], 76);
             EXPECT_EQ(records[0]["prefix"], "abab");
             std::string mfg = "4c00";
             while (mfg.size() < 64)
                 mfg += "ab";
             EXPECT_EQ(records[0]["mfg"], mfg);
         }},
        {"manufacturer data of the wrong type counts as none", "C0:FF:EE:00:01:04",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:04");
                 bytes(m, "ManufacturerData", "\x4c\x00\x02\x15");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_FALSE(records[0].contains("company"));
             EXPECT_FALSE(records[0].contains("mfg"));
         }},
        {"10,000 UUIDs are cut, the advertisement kept", "C0:FF:EE:00:01:05",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:05");
                 strings(m, "UUIDs", tenThousandUuids());
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_GE(records[0]["services"].size(), 1u);
             EXPECT_LE(records[0]["services"].size(), 64u);
         }},
        {"a 10 KiB name of control characters is cut and escaped", "C0:FF:EE:00:01:06",
         [kName](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [kName](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:06");
                 name(m, kName);
                 rssi(m);
             });
         },
         [kName](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             const std::string got = records[0]["name"];
             EXPECT_LE(got.size(), 248u);
             EXPECT_FALSE(got.empty());
             EXPECT_EQ(kName.compare(0, got.size(), got), 0);
         }},
        {"a name with a line feed is sent as it is", "C0:FF:EE:00:01:07",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:07");
                 name(m, "Kitchen\nLamp\r\t");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_EQ(records[0]["name"], "Kitchen\nLamp\r\t");
         }},
        {"an address that is not an address still names the device", "not an address",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "not an address");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) { EXPECT_EQ(records.size(), 1u); }},
        {"an empty address", "",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "");
                 name(m, "empty-address");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) { EXPECT_EQ(records.size(), 1u); }, "empty-address"},
        {"a 64 KiB address", std::string(64 * 1024, 'A'),
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, std::string(64 * 1024, 'A'));
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) { EXPECT_EQ(records.size(), 1u); }},
        {"an address of the wrong type makes no advertisement", "",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 appendEntry(m, "Address", 'u', uint32_t{0xC0FFEE});
                 name(m, "number-address");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) { EXPECT_TRUE(records.empty()); }, "number-address"},
        {"transmit power of the wrong type counts as none", "C0:FF:EE:00:01:12",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:12");
                 appendEntry(m, "TxPower", 'i', int32_t{-12});
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_FALSE(records[0].contains("tx"));
         }},
        {"UUIDs of the wrong type count as none", "C0:FF:EE:00:01:13",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:13");
                 appendEntry(m, "UUIDs", 's', "180F");
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_EQ(records[0]["services"], json::array());
         }},
        {"UUIDs that are not UUIDs are left out", "C0:FF:EE:00:01:14",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(path, [](sd_bus_message* m) {
                 address(m, "C0:FF:EE:00:01:14");
                 strings(m, "UUIDs", {"zz", "", "180F", "0000180f-0000-1000-8000-00805f9b34fb", "7e5b8a11-9c2f"});
                 rssi(m);
             });
         },
         [](const std::vector<json>& records) {
             ASSERT_EQ(records.size(), 1u);
             EXPECT_EQ(records[0]["services"], json::array({"180F", "180F"}));
         }},
        {"a process that does not own org.bluez is not heard", "C0:FF:EE:00:01:15",
         [](HostileBluez& b, const std::string& path) {
             b.deviceAdded(
                 path,
                 [](sd_bus_message* m) {
                     address(m, "C0:FF:EE:00:01:15");
                     rssi(m);
                 },
                 true);
         },
         [](const std::vector<json>& records) { EXPECT_TRUE(records.empty()); }},
    };
}

TEST(HostileDbus, NodeTakesWhatItCanReadDropsTheRestAndUploadsSoundJson) {
    if (!PrivateBus::available())
        GTEST_SKIP() << "dbus-daemon is not installed";
    PrivateBus bus;
    LoopbackServer server;
    HostileBluez bluez(bus.address());
    ChildProcess node({builtPath("brelo-ble"), "--brelo", server.url(), "--node", "hostile"},
                      {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}}, .mergeStderr = true});
    ASSERT_TRUE(bluez.serveUntil([&] { return bluez.calls("StartDiscovery") >= 1 && bluez.registered(); }, 20s))
        << testing::PrintToString(node.lines());
    const size_t registrations = bluez.calls("RegisterAdvertisement");

    const std::vector<Case> all = cases();
    for (size_t i = 0; i < all.size(); ++i)
        all[i].send(bluez, "/org/bluez/hci0/dev_case_" + std::to_string(i));

    // Release from anyone but BlueZ is refused, and changes nothing.
    auto released = bluez.releaseFromImpostor(5s);
    ASSERT_TRUE(released.has_value());
    EXPECT_NE(*released, "") << "Release accepted from a process that is not BlueZ";

    // A device heard after all of them: once it is on the server, so is everything before it.
    bluez.deviceAdded("/org/bluez/hci0/dev_marker", [](sd_bus_message* m) {
        address(m, "C0:FF:EE:00:01:FF");
        name(m, "marker");
        rssi(m);
    });
    auto markerArrived = [&] {
        node.poll();
        for (const auto& request : server.received())
            if (request.body.find("\"marker\"") != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(bluez.serveUntil(markerArrived, 20s)) << testing::PrintToString(node.lines());

    std::vector<json> records;
    for (const auto& request : server.received()) {
        auto checked = sink::checkUploadText(request.body);
        ASSERT_TRUE(checked.body.has_value()) << checked.faults.front().text();
        EXPECT_TRUE(checked.faults.empty()) << checked.faults.front().text();
        for (const auto& record : (*checked.body)["devices"])
            records.push_back(record);
    }
    for (const auto& c : all) {
        SCOPED_TRACE(c.what);
        std::vector<json> mine;
        for (const auto& r : records)
            if (c.nameWhenNoAddress.empty() ? r["id"] == idOf(c.address) : r["name"] == c.nameWhenNoAddress)
                mine.push_back(r);
        c.check(mine);
    }
    for (const auto& r : records)
        EXPECT_NE(r["name"], "impostor");
    EXPECT_EQ(bluez.calls("RegisterAdvertisement"), registrations);
    EXPECT_TRUE(node.running());
}

}  // namespace
}  // namespace brelo::test
