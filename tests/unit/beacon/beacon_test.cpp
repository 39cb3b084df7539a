#include "beacon/beacon.h"

#include <gtest/gtest.h>
#include <unigbrk.h>

#include "bluetooth/brelo_ids.h"
#include "support/fake_bluetooth.h"


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

const std::string e = "e\xCC\x81";                                                   // e + combining acute
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // ZWJ sequence
const std::string thumb = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";                       // thumbs up + skin tone
const std::string flagFr = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string flagDe = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";

std::string repeat(const std::string& s, int n) { return n == 0 ? "" : s + repeat(s, n - 1); }

TEST(BeaconName, KvqAndAtMostTwelveWholeCharacters) {
    for (const auto& [node, expected] : std::vector<std::pair<std::string, std::string>>{
             {"kitchen", "KVQ-kitchen"},
             {"abcdefghijklmnopqrst", "KVQ-abcdefghijkl"},
             {"", "KVQ-"},
             {"Living-Room1", "KVQ-Living-Room1"},  // twelve kept whole
             {repeat(e, 14), "KVQ-" + repeat(e, 12)},
             {"abcdefghij" + family + thumb + "z", "KVQ-abcdefghij" + family + thumb},
             {repeat(flagFr + flagDe, 7), "KVQ-" + repeat(flagFr + flagDe, 6)},
             {"HallWay", "KVQ-HallWay"}}) {
        std::string name = Beacon::beaconName(node);
        EXPECT_EQ(name, expected);
        EXPECT_LE(graphemes(name), 16u) << node;
        EXPECT_EQ(node.rfind(name.substr(4), 0), 0u) << "the name is a prefix of the node name";
    }
}

// Asks to advertise at every powered-on report and at no other (what BlueZ answers, and
// its log lines, are the program tests').
TEST(BeaconReports, EveryPoweredOnReportAndNoOtherAsksToAdvertise) {
    test::FakeBluetoothPlatform platform;
    Beacon beacon("attic", platform);
    auto& pm = *platform.peripherals().at(0);
    using enum bluetooth::ManagerState;
    for (auto state : {unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn, poweredOn})
        pm.report(state);
    ASSERT_EQ(pm.advertised.size(), 2u);
    EXPECT_EQ(pm.advertised[0].localName, "KVQ-attic");
    EXPECT_EQ(pm.advertised[0].serviceUuids, std::vector<bluetooth::Uuid>{bluetooth::listenerBeaconService()});
}

}  // namespace
}  // namespace brelo::beacon
