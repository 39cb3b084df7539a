#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

TEST(EarFlush, OneUploadPerWindowAlwaysListeningBatchEmptiedNamesKept) {
    EarHarness h;
    h.central().report(bluetooth::ManagerState::poweredOff);
    const size_t before = h.http.calls.size();
    for (uint32_t n = 1; n <= 3; ++n) {
        auto a = advert(n);
        a.localName = "dev" + std::to_string(n);
        h.hear(a);
    }
    h.log.lines.clear();
    h.time.advance(listener::Ear::flushIntervalS);
    EXPECT_EQ(h.bluetooth.windowsBegun, 2u) << "the platform learns where each window begins";
    ASSERT_EQ(h.http.calls.size(), before + 1);
    EXPECT_EQ(h.body(before)["status"], "listening");
    // The clock stands on a whole second: "ts" must still be written as a float.
    ASSERT_EQ(h.time.now(), 1.7e9 + listener::Ear::flushIntervalS);
    EXPECT_NE(h.http.calls[before].request.body.find("\"ts\":1700000002.0"), std::string::npos);
    EXPECT_EQ(h.devices(before).size(), 3u);
    EXPECT_TRUE(h.ear->sightings().window().empty());
    EXPECT_EQ(h.ear->sightings().names().size(), 3u);
    EXPECT_EQ(h.ear->status(), "bluetooth-off");

    // An empty window sends and logs nothing.
    h.time.advance(listener::Ear::flushIntervalS);
    EXPECT_EQ(h.http.calls.size(), before + 1);
    EXPECT_TRUE(h.log.lines.empty());
}

TEST(EarFlush, ABareListenerPrefixGivesAnEmptyListenerKey) {
    EarHarness h;
    auto a = advert(1);
    a.localName = "KVQ-";
    a.serviceUuids = std::vector<bluetooth::Uuid>{bluetooth::listenerBeaconService()};
    h.hear(a);
    h.ear->flush();
    EXPECT_EQ(h.devices(0).at(0).value("listener", "<none>"), "");
}

}  // namespace
}  // namespace brelo::test
