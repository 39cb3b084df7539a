#include "beacon/beacon.h"

#include <gtest/gtest.h>
#include <unigbrk.h>

#include "runtime/log_writer.h"
#include "listener/ear.h"

namespace brelo::beacon {
namespace {

// User-perceived characters, counted independently of the code under test's loop.
size_t graphemes(const std::string& s) {
    std::vector<char> breaks(s.size());
    u8_grapheme_breaks(reinterpret_cast<const uint8_t*>(s.data()), s.size(), breaks.data());
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i)
        n += (i == 0 || breaks[i]) ? 1 : 0;
    return n;
}

struct NameCase {
    const char* label;
    std::string node;
    std::string expected;
};

class BeaconName : public ::testing::TestWithParam<NameCase> {};

TEST_P(BeaconName, KvqAndAtMostTwelveWholeCharacters) {
    const auto& c = GetParam();
    std::string name = Beacon::beaconName(c.node);
    EXPECT_EQ(name, c.expected);
    EXPECT_LE(graphemes(name), 16u);
    EXPECT_EQ(c.node.rfind(name.substr(4), 0), 0u) << "the name is a prefix of the node name";
}

const std::string e = "e\xCC\x81";                                                   // e + combining acute
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // ZWJ sequence
const std::string thumb = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";                       // thumbs up + skin tone
const std::string flagFr = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string flagDe = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Names, BeaconName,
    ::testing::Values(NameCase{"seven", "kitchen", "KVQ-kitchen"},
                      NameCase{"twenty", "abcdefghijklmnopqrst", "KVQ-abcdefghijkl"},
                      NameCase{"empty", "", "KVQ-"},
                      NameCase{"twelve_kept_whole", "Living-Room1", "KVQ-Living-Room1"},
                      NameCase{"combining_marks", repeat(e, 14), "KVQ-" + repeat(e, 12)},
                      NameCase{"zwj_and_modifiers", "abcdefghij" + family + thumb + "z", "KVQ-abcdefghij" + family + thumb},
                      NameCase{"flags", repeat(flagFr + flagDe, 7), "KVQ-" + repeat(flagFr + flagDe, 6)},
                      NameCase{"case_kept", "HallWay", "KVQ-HallWay"}),
    [](const auto& info) { return std::string(info.param.label); });

class FakePeripheral final : public bluetooth::PeripheralManager {
public:
    bluetooth::ManagerState state() const override { return current; }
    void startAdvertising(const bluetooth::AdvertisingData& data) override { requests.push_back(data); }
    bluetooth::ManagerState current = bluetooth::kStateUnknown;
    std::vector<bluetooth::AdvertisingData> requests;
};

class FakePlatform final : public bluetooth::BluetoothPlatform {
public:
    std::unique_ptr<bluetooth::CentralManager> makeCentralManager(bluetooth::CentralManagerDelegate&) override {
        return nullptr;
    }
    std::unique_ptr<bluetooth::PeripheralManager> makePeripheralManager(bluetooth::PeripheralManagerDelegate&) override {
        auto m = std::make_unique<FakePeripheral>();
        made = m.get();
        return m;
    }
    bluetooth::Authorization authorization() const override { return bluetooth::kAuthorizationAllowedAlways; }
    FakePeripheral* made = nullptr;
};

class BeaconReports : public ::testing::Test {
protected:
    void SetUp() override {
        previous = replaceLogSink([this](std::string_view line) { lines.emplace_back(line.substr(20)); });
    }
    void TearDown() override { replaceLogSink(previous); }
    LogSink previous;
    std::vector<std::string> lines;
};

TEST_F(BeaconReports, EveryPoweredOnReportAdvertisesAndOnlyTheOutcomeIsLogged) {
    FakePlatform platform;
    Beacon beacon("attic", platform);
    ASSERT_EQ(beacon.pm.get(), platform.made);
    auto& pm = *platform.made;
    EXPECT_TRUE(pm.requests.empty()) << "nothing before the first report";

    for (auto state : {bluetooth::kStateUnknown, bluetooth::kStateResetting, bluetooth::kStateUnsupported,
                       bluetooth::kStateUnauthorized, bluetooth::kStatePoweredOff}) {
        pm.current = state;
        beacon.peripheralManagerDidUpdateState(pm);
    }
    EXPECT_TRUE(pm.requests.empty());

    pm.current = bluetooth::kStatePoweredOn;
    beacon.peripheralManagerDidUpdateState(pm);
    beacon.peripheralManagerDidUpdateState(pm);
    ASSERT_EQ(pm.requests.size(), 2u);
    EXPECT_EQ(pm.requests[0].localName, "KVQ-attic");
    EXPECT_EQ(pm.requests[0].serviceUuids, std::vector<bluetooth::Uuid>{listener::Ear::listenerBeacon()});
    EXPECT_TRUE(lines.empty()) << "asking is not being on the air";

    beacon.peripheralManagerDidStartAdvertising(pm, "Maximum advertisements reached");
    beacon.peripheralManagerDidStartAdvertising(pm, std::nullopt);
    EXPECT_EQ(lines, (std::vector<std::string>{"beacon KVQ-attic refused: Maximum advertisements reached\n",
                                               "beacon KVQ-attic on\n"}));
}

}  // namespace
}  // namespace brelo::beacon
