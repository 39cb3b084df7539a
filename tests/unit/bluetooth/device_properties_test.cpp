#include "bluetooth/bluez/device_properties.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline_bus.h"

namespace brelo::bluetooth::bluez {
namespace {

using Fill = std::function<void(sd_bus_message*)>;

class DevicePropertiesTest : public ::testing::Test {
protected:
    // Decodes an a{sv} that fill() appends into device; returns readDeviceProperties' result.
    int decode(const Fill& fill) {
        auto m = bus.signal("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF", "org.example", "Props", fill);
        return readDeviceProperties(m.get(), device);
    }

    static std::vector<std::string> serviceStrings(const DeviceProperties& d) {
        std::vector<std::string> out;
        for (const Uuid& u : d.advertisement.serviceUuids.value_or(std::vector<Uuid>{}))
            out.push_back(u.string());
        return out;
    }

    test::OfflineBus bus;
    DeviceProperties device;
};

TEST_F(DevicePropertiesTest, ReadsEveryPropertyOfTheRightType) {
    int r = decode([](sd_bus_message* m) {
        sd_bus_message_append(m, "a{sv}", 7,                                              //
                              "Address", "s", "AA:BB:CC:DD:EE:FF",                        //
                              "Name", "s", "Desk",                                        //
                              "Alias", "s", "Alias is never the name",                    //
                              "ManufacturerData", "a{qv}", 1, 0x1234, "ay", 3, 0xAB, 0xCD, 0xEF,  //
                              "UUIDs", "as", 1, "0000180f-0000-1000-8000-00805f9b34fb",   //
                              "TxPower", "n", -12,                                        //
                              "RSSI", "n", -60);
    });
    ASSERT_GE(r, 0);
    EXPECT_EQ(r, int(kDeviceAddress | kDeviceName | kDeviceManufacturerData | kDeviceUuids | kDeviceTxPower |
                     kDeviceRssi));
    EXPECT_EQ(device.identifier, identifierForAddress("AA:BB:CC:DD:EE:FF"));
    EXPECT_EQ(device.rssi, -60);
    const Advertisement& a = device.advertisement;
    EXPECT_EQ(a.localName, "Desk");
    EXPECT_FALSE(a.peripheralName);
    EXPECT_EQ(a.manufacturerData, (std::vector<uint8_t>{0x34, 0x12, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(serviceStrings(device), std::vector<std::string>{"180F"});
    EXPECT_EQ(a.txPowerLevel, -12);
}

TEST_F(DevicePropertiesTest, MissingPropertiesStayAbsent) {
    ASSERT_GE(decode([](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "RSSI", "n", -70); }), 0);
    EXPECT_EQ(device.rssi, -70);
    EXPECT_FALSE(device.identifier);
    EXPECT_FALSE(device.advertisement.localName);
    EXPECT_FALSE(device.advertisement.manufacturerData);
    EXPECT_FALSE(device.advertisement.serviceUuids);
    EXPECT_FALSE(device.advertisement.txPowerLevel);
}

// Each known property sent with a type BlueZ does not use: the property becomes absent,
// a value held before is dropped, and the entries after it are still read.
struct MistypedCase {
    const char* name;
    Fill appendWrongEntry;  // appends one {sv} entry
    std::function<bool(const DeviceProperties&)> present;
    const char* later = "RSSI";  // a right-typed property sent after the wrong one
};

TEST_F(DevicePropertiesTest, MistypedPropertyCountsAsAbsent) {
    const std::vector<MistypedCase> cases = {
        {"RSSI as int32", [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "RSSI", "i", -50); },
         [](const DeviceProperties& d) { return d.rssi.has_value(); }, "TxPower"},
        {"TxPower as byte", [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "TxPower", "y", 4); },
         [](const DeviceProperties& d) { return d.advertisement.txPowerLevel.has_value(); }},
        {"Name as bytes", [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "Name", "ay", 1, 'x'); },
         [](const DeviceProperties& d) { return d.advertisement.localName.has_value(); }},
        {"Address as uint32", [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "Address", "u", 7u); },
         [](const DeviceProperties& d) { return d.identifier.has_value(); }},
        {"UUIDs as one string",
         [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "UUIDs", "s", "0000180f-0000-1000-8000-00805f9b34fb"); },
         [](const DeviceProperties& d) { return d.advertisement.serviceUuids.has_value(); }},
        {"ManufacturerData as a{sv}",
         [](sd_bus_message* m) { sd_bus_message_append(m, "{sv}", "ManufacturerData", "a{sv}", 1, "x", "y", 1); },
         [](const DeviceProperties& d) { return d.advertisement.manufacturerData.has_value(); }},
        {"ManufacturerData with no ay entry",
         [](sd_bus_message* m) {
             sd_bus_message_append(m, "{sv}", "ManufacturerData", "a{qv}", 1, 0x4C, "s", "not bytes");
         },
         [](const DeviceProperties& d) { return d.advertisement.manufacturerData.has_value(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device = DeviceProperties{};
        // First every property right, then the same message shape with one entry wrong.
        ASSERT_GE(decode([](sd_bus_message* m) {
                      sd_bus_message_append(m, "a{sv}", 6, "Address", "s", "AA:BB:CC:DD:EE:FF", "Name", "s", "n",
                                            "ManufacturerData", "a{qv}", 1, 1, "ay", 1, 1, "UUIDs", "as", 1, "180F",
                                            "TxPower", "n", 1, "RSSI", "n", -1);
                  }),
                  0);
        ASSERT_TRUE(c.present(device));
        int r = decode([&](sd_bus_message* m) {
            sd_bus_message_open_container(m, 'a', "{sv}");
            c.appendWrongEntry(m);
            sd_bus_message_append(m, "{sv}", "Paired", "b", 1);
            sd_bus_message_append(m, "{sv}", c.later, "n", -42);
            sd_bus_message_close_container(m);
        });
        ASSERT_GE(r, 0);
        EXPECT_FALSE(c.present(device));
        // The entry after the mistyped one was still read.
        if (std::string(c.later) == "RSSI") {
            EXPECT_EQ(device.rssi, -42);
        } else {
            EXPECT_EQ(device.advertisement.txPowerLevel, -42);
        }
    }
}

TEST_F(DevicePropertiesTest, UnknownKeysAreSkippedWhateverTheirShape) {
    int r = decode([](sd_bus_message* m) {
        sd_bus_message_append(m, "a{sv}", 4,                                                //
                              "ServiceData", "a{sv}", 1, "0000feaa-0000-1000-8000-00805f9b34fb", "ay", 2, 1, 2,  //
                              "Alias", "s", "AA-BB-CC-DD-EE-FF",                           //
                              "AdvertisingFlags", "ay", 1, 6,                              //
                              "RSSI", "n", -80);
    });
    ASSERT_GE(r, 0);
    EXPECT_EQ(r, int(kDeviceRssi));
    EXPECT_EQ(device.rssi, -80);
    EXPECT_FALSE(device.advertisement.localName);
}

TEST_F(DevicePropertiesTest, LowestCompanyIdentifierWinsLowByteFirst) {
    ASSERT_GE(decode([](sd_bus_message* m) {
                  sd_bus_message_append(m, "a{sv}", 1, "ManufacturerData", "a{qv}", 4,  //
                                        0x0075, "ay", 1, 0x09,                          //
                                        0x0006, "s", "mistyped entry is passed over",   //
                                        0x004C, "ay", 2, 0x02, 0x15,                    //
                                        0x0102, "ay", 0);
              }),
              0);
    EXPECT_EQ(device.advertisement.manufacturerData, (std::vector<uint8_t>{0x4C, 0x00, 0x02, 0x15}));

    ASSERT_GE(decode([](sd_bus_message* m) {
                  sd_bus_message_append(m, "a{sv}", 1, "ManufacturerData", "a{qv}", 2, 0xFFFF, "ay", 1, 0x01,
                                        0x0102, "ay", 0);
              }),
              0);
    EXPECT_EQ(device.advertisement.manufacturerData, (std::vector<uint8_t>{0x02, 0x01}));

    ASSERT_GE(decode([](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "ManufacturerData", "a{qv}", 0); }), 0);
    EXPECT_FALSE(device.advertisement.manufacturerData);
}

TEST_F(DevicePropertiesTest, ServiceUuidsInTheirShortTextFormsUnparsableSkipped) {
    ASSERT_GE(decode([](sd_bus_message* m) {
                  sd_bus_message_append(m, "a{sv}", 1, "UUIDs", "as", 6,  //
                                        "0000180F-0000-1000-8000-00805F9B34FB",  //
                                        "0000feaa-0000-1000-8000-00805f9b34fb",  //
                                        "12345678-0000-1000-8000-00805F9B34FB",  //
                                        "not a uuid",                            //
                                        "7e5b8a10-9c2f-4d6a-b1e4-0f3a7c91d2e8",  //
                                        "00001800-0000-1000-8000-00805F9B34FC");
              }),
              0);
    EXPECT_EQ(serviceStrings(device),
              (std::vector<std::string>{"180F", "FEAA", "12345678", "7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8",
                                        "00001800-0000-1000-8000-00805F9B34FC"}));
}

TEST_F(DevicePropertiesTest, CapsWhatTheRadioControls) {
    const std::string longName(300, 'x');
    std::string accented;
    for (int i = 0; i < 200; ++i)
        accented += "\xC3\xA9";  // é, two bytes each
    int r = decode([&](sd_bus_message* m) {
        sd_bus_message_open_container(m, 'a', "{sv}");
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append(m, "s", "UUIDs");
        sd_bus_message_open_container(m, 'v', "as");
        sd_bus_message_open_container(m, 'a', "s");
        for (int i = 0; i < 100; ++i)
            sd_bus_message_append(m, "s", "0000180f-0000-1000-8000-00805f9b34fb");
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append(m, "s", "ManufacturerData");
        sd_bus_message_open_container(m, 'v', "a{qv}");
        sd_bus_message_open_container(m, 'a', "{qv}");
        sd_bus_message_open_container(m, 'e', "qv");
        sd_bus_message_append(m, "q", 0x004C);
        sd_bus_message_open_container(m, 'v', "ay");
        std::vector<uint8_t> bytes(1000, 0x5A);
        sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
        for (int i = 0; i < 4; ++i)
            sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_append(m, "{sv}", "Name", "s", accented.c_str());
        sd_bus_message_append(m, "{sv}", "RSSI", "n", -33);
        sd_bus_message_close_container(m);
    });
    ASSERT_GE(r, 0);
    EXPECT_EQ(device.advertisement.serviceUuids->size(), kMaxServiceUuids);
    EXPECT_EQ(device.advertisement.manufacturerData->size(), 2 + kMaxManufacturerValueBytes);
    // Cut at a character boundary: an even number of bytes of two-byte characters.
    EXPECT_EQ(device.advertisement.localName->size(), kMaxNameBytes);
    EXPECT_EQ(device.rssi, -33);

    ASSERT_GE(decode([&](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "Name", "s", longName.c_str()); }), 0);
    EXPECT_EQ(*device.advertisement.localName, longName.substr(0, kMaxNameBytes));

    std::string odd = "x" + accented;  // now the cut falls inside a character
    ASSERT_GE(decode([&](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 1, "Name", "s", odd.c_str()); }), 0);
    EXPECT_EQ(device.advertisement.localName->size(), kMaxNameBytes - 1);
}

TEST_F(DevicePropertiesTest, InvalidatedPropertiesAreDropped) {
    ASSERT_GE(decode([](sd_bus_message* m) {
                  sd_bus_message_append(m, "a{sv}", 3, "RSSI", "n", -50, "TxPower", "n", 4, "Name", "s", "Desk");
              }),
              0);
    auto m = bus.propertiesChanged("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF", "org.bluez.Device1",
                                   [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 0); },
                                   {"RSSI", "TxPower", "Connected"});
    const char* interface = nullptr;
    sd_bus_message_read(m.get(), "s", &interface);
    ASSERT_EQ(readDeviceProperties(m.get(), device), 0);
    EXPECT_EQ(readInvalidatedDeviceProperties(m.get(), device), int(kDeviceRssi | kDeviceTxPower));
    EXPECT_FALSE(device.rssi);
    EXPECT_FALSE(device.advertisement.txPowerLevel);
    EXPECT_EQ(device.advertisement.localName, "Desk");
}

TEST_F(DevicePropertiesTest, MalformedMessageIsAnErrorNotACrash) {
    EXPECT_LT(decode([](sd_bus_message* m) { sd_bus_message_append(m, "s", "not a dictionary"); }), 0);
    EXPECT_LT(decode([](sd_bus_message* m) { sd_bus_message_append(m, "a{si}", 1, "RSSI", -3); }), 0);
}

TEST(DeviceIdentifierTest, NameBasedOnTheUpperCaseAddress) {
    Uuid id = identifierForAddress("AA:BB:CC:DD:EE:FF");
    // Fixed for good: the server keys devices by it across restarts and nodes.
    EXPECT_EQ(id.canonical(), "0E8AA560-AF0C-5E64-A544-123963F3FBE5");
    EXPECT_EQ(identifierForAddress("00:11:22:33:44:55").canonical(), "9D14CF39-B044-509B-AC63-312601A72A0F");
    EXPECT_EQ(identifierForAddress("aa:bb:cc:dd:ee:ff"), id);
    EXPECT_EQ(identifierForAddress("Aa:bB:cc:DD:ee:Ff"), id);
    EXPECT_NE(identifierForAddress("AA:BB:CC:DD:EE:FE"), id);
}

}  // namespace
}  // namespace brelo::bluetooth::bluez
