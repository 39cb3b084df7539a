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
        int r = readDeviceProperties(m.get(), device);
        EXPECT_GE(r, 0);
        return r;
    }

    test::OfflineBus bus;
    DeviceProperties device;
};

TEST_F(DevicePropertiesTest, ServiceUuidsInTheirShortTextFormsUnparsableSkipped) {
    decode([](sd_bus_message* m) {
        sd_bus_message_append(m, "a{sv}", 1, "UUIDs", "as", 6,  //
                              "0000180F-0000-1000-8000-00805F9B34FB",  //
                              "0000feaa-0000-1000-8000-00805f9b34fb",  //
                              "12345678-0000-1000-8000-00805F9B34FB",  //
                              "not a uuid",                            //
                              "7e5b8a10-9c2f-4d6a-b1e4-0f3a7c91d2e8",  //
                              "00001800-0000-1000-8000-00805F9B34FC");
    });
    std::vector<std::string> texts;
    for (const Uuid& u : device.advertisement.serviceUuids.value())
        texts.push_back(u.string());
    EXPECT_EQ(texts, (std::vector<std::string>{"180F", "FEAA", "12345678", "7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8",
                                               "00001800-0000-1000-8000-00805F9B34FC"}));
}

TEST_F(DevicePropertiesTest, InvalidatedPropertiesAreDropped) {
    decode([](sd_bus_message* m) {
        sd_bus_message_append(m, "a{sv}", 3, "RSSI", "n", -50, "TxPower", "n", 4, "Name", "s", "Desk");
    });
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
