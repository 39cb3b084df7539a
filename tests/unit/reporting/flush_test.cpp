#include <set>

#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

using Json = nlohmann::json;

bool holdsNull(const Json& j) {
    if (j.is_null())
        return true;
    if (j.is_structured())
        for (const auto& child : j)
            if (holdsNull(child))
                return true;
    return false;
}

std::set<std::string> keysOf(const Json& record) {
    std::set<std::string> keys;
    for (const auto& [key, value] : record.items())
        keys.insert(key);
    return keys;
}

TEST(EarFlush, RecordCarriesOptionalKeysOnlyWhenSetAndNeverNull) {
    EarHarness h;
    auto full = advert(1, -55);
    full.localName = "KVQ-kitchen";
    full.manufacturerData = std::vector<uint8_t>{0x00, 0x00, 0x01};
    full.txPowerLevel = -8;
    full.serviceUuids = std::vector<bluetooth::Uuid>{listener::Ear::listenerBeacon()};
    h.hear(full);
    h.hear(advert(2, -80));
    h.ear->flush();

    // The clock stands on a whole second: "ts" must still be written as a float.
    ASSERT_EQ(h.time.now(), 1.7e9);
    const std::string& text = h.http.calls.at(0).request.body;
    EXPECT_NE(text.find("\"ts\":1700000000.0"), std::string::npos) << text;

    const Json devices = h.devices(0);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_FALSE(holdsNull(h.body(0)));
    for (const Json& record : devices) {
        EXPECT_TRUE(record["ts"].is_number_float());
        EXPECT_EQ(record["ts"], devices[0]["ts"]);
        if (record["id"] == testId(1).canonical()) {
            EXPECT_EQ(keysOf(record), (std::set<std::string>{"id", "rssi", "p75", "max", "min", "name", "services",
                                                             "prefix", "packets", "ts", "company", "mfg", "tx",
                                                             "listener"}));
            EXPECT_EQ(record["company"], 0);
            EXPECT_EQ(record["prefix"], "01");
            EXPECT_EQ(record["mfg"], "000001");
            EXPECT_EQ(record["tx"], -8);
            EXPECT_EQ(record["name"], "KVQ-kitchen");
            EXPECT_EQ(record["listener"], "kitchen");
            EXPECT_EQ(record["services"], Json::array({"7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8"}));
        } else {
            EXPECT_EQ(record["id"], "A0010000-0000-0000-0000-000000000002");
            EXPECT_EQ(keysOf(record), (std::set<std::string>{"id", "rssi", "p75", "max", "min", "name", "services",
                                                             "prefix", "packets", "ts"}));
            EXPECT_EQ(record["name"], "");
            EXPECT_EQ(record["prefix"], "");
            EXPECT_EQ(record["services"], Json::array());
        }
    }
}

TEST(EarFlush, ListenerKeyNeedsBothTheMarkAndTheNamePrefix) {
    struct Case {
        bool marked;
        std::string name;
        std::optional<std::string> listener;
    };
    const std::vector<Case> table = {
        {true, "KVQ-kitchen", "kitchen"},
        {true, "KVQ-", ""},
        {true, "kitchen", std::nullopt},
        {true, "kvq-kitchen", std::nullopt},
        {false, "KVQ-kitchen", std::nullopt},
    };
    for (const auto& c : table) {
        EarHarness h;
        auto a = advert(1);
        a.localName = c.name;
        if (c.marked)
            a.serviceUuids = std::vector<bluetooth::Uuid>{listener::Ear::listenerBeacon()};
        h.hear(a);
        h.ear->flush();
        const Json record = h.devices(0).at(0);
        EXPECT_EQ(record["name"], c.name);
        if (c.listener) {
            EXPECT_EQ(record.value("listener", "<none>"), *c.listener) << c.name;
        } else {
            EXPECT_FALSE(record.contains("listener")) << c.name;
        }
    }
}

TEST(EarFlush, OneUploadPerWindowAlwaysListeningBatchEmptiedNamesKept) {
    EarHarness h;
    h.central().report(bluetooth::kStatePoweredOff);
    const size_t before = h.http.calls.size();
    for (uint32_t n = 1; n <= 3; ++n) {
        auto a = advert(n);
        a.localName = "dev" + std::to_string(n);
        h.hear(a);
    }
    h.log.lines.clear();
    h.time.advance(listener::Ear::flushIntervalS);
    ASSERT_EQ(h.http.calls.size(), before + 1);
    EXPECT_EQ(h.body(before)["status"], "listening");
    EXPECT_EQ(h.devices(before).size(), 3u);
    EXPECT_TRUE(h.ear->batch.empty());
    EXPECT_EQ(h.ear->names.size(), 3u);
    EXPECT_EQ(h.ear->status, "bluetooth-off");

    // An empty window sends and logs nothing.
    h.time.advance(listener::Ear::flushIntervalS);
    EXPECT_EQ(h.http.calls.size(), before + 1);
    EXPECT_TRUE(h.log.lines.empty());
}

}  // namespace
}  // namespace brelo::test
