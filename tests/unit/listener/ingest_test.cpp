#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

using Bytes = std::vector<uint8_t>;

const listener::Seen* seenOf(const EarHarness& h, uint32_t n) {
    auto it = h.ear->batch.find(testId(n));
    return it == h.ear->batch.end() ? nullptr : &it->second;
}

TEST(EarIngest, SignalGateKeepsMinus1ToMinus109AndDropsTheRestUntouched) {
    const std::vector<std::pair<int64_t, bool>> table = {
        {-1, true}, {-109, true}, {-60, true}, {0, false}, {127, false}, {-110, false}, {-1000, false},
    };
    for (const auto& [rssi, kept] : table) {
        EarHarness h;
        auto a = advert(1, rssi);
        a.localName = "Tag";
        a.manufacturerData = Bytes{0x4C, 0x00};
        h.hear(a);
        const listener::Seen* seen = seenOf(h, 1);
        EXPECT_EQ(seen != nullptr, kept) << rssi;
        EXPECT_EQ(h.ear->names.find(testId(1)) != nullptr, kept) << rssi;
        if (seen) {
            EXPECT_EQ(seen->rssi, std::vector<int64_t>{rssi});
        }
    }
}

TEST(EarIngest, ManufacturerDataByLength) {
    Bytes forty(40);
    for (size_t i = 0; i < forty.size(); ++i)
        forty[i] = static_cast<uint8_t>(0xA0 + i);
    std::string fortyHex;
    for (size_t i = 0; i < 32; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", forty[i]);
        fortyHex += digits;
    }

    struct Case {
        std::optional<Bytes> data;
        std::optional<int64_t> company;  // after a later report on a record that held Apple's
        std::string prefix, mfg;
    };
    // The earlier report: company 0x004C (Apple), prefix 1005, mfg 4c00100501.
    const std::vector<Case> table = {
        {std::nullopt, 0x004C, "1005", "4c00100501"},
        {Bytes{}, 0x004C, "1005", "4c00100501"},
        {Bytes{0x07}, 0x004C, "1005", "07"},
        {Bytes{0x34, 0x12}, 4660, "", "3412"},
        {Bytes{0x34, 0x12, 0xAB}, 4660, "ab", "3412ab"},
        {Bytes{0x34, 0x12, 0xAB, 0xCD}, 4660, "abcd", "3412abcd"},
        {Bytes{0x34, 0x12, 0xAB, 0xCD, 0xEF}, 4660, "abcd", "3412abcdef"},
        {forty, 0xA1A0, "a2a3", fortyHex},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.mfg);
        // On a new record: only what this report carries.
        EarHarness fresh;
        auto a = advert(1);
        a.manufacturerData = c.data;
        fresh.hear(a);
        const auto& first = *seenOf(fresh, 1);
        bool hasCompany = c.data && c.data->size() >= 2;
        EXPECT_EQ(first.company, hasCompany ? c.company : std::nullopt);
        EXPECT_EQ(first.prefix, hasCompany ? c.prefix : "");
        EXPECT_EQ(first.mfg, c.data && !c.data->empty() ? c.mfg : "");

        // On a record that already held manufacturer data: what is missing is kept.
        EarHarness h;
        auto earlier = advert(1);
        earlier.manufacturerData = Bytes{0x4C, 0x00, 0x10, 0x05, 0x01};
        h.hear(earlier);
        h.hear(a);
        const auto& seen = *seenOf(h, 1);
        EXPECT_EQ(seen.company, c.company);
        EXPECT_EQ(seen.prefix, c.prefix);
        EXPECT_EQ(seen.mfg, c.mfg);
    }
}

TEST(EarIngest, NameCandidateAndNamesCache) {
    EarHarness h;
    // An advertised local name, even an empty one, wins over the platform's name.
    auto a = advert(1);
    a.localName = "";
    a.peripheralName = "Desk";
    h.hear(a);
    EXPECT_EQ(seenOf(h, 1)->name, "");
    EXPECT_TRUE(h.ear->names.empty());

    a.localName.reset();
    h.hear(a);
    EXPECT_EQ(seenOf(h, 1)->name, "Desk");
    EXPECT_EQ(*h.ear->names.find(testId(1)), "Desk");

    a.localName = "Lamp";
    h.hear(a);
    EXPECT_EQ(seenOf(h, 1)->name, "Lamp");
    EXPECT_EQ(*h.ear->names.find(testId(1)), "Lamp");

    // A nameless report keeps the name, in this batch and from the first report of the next.
    h.hear(advert(1));
    EXPECT_EQ(seenOf(h, 1)->name, "Lamp");
    h.ear->flush();
    EXPECT_TRUE(h.ear->batch.empty());
    auto nameless = advert(1);
    nameless.localName = "";
    h.hear(nameless);
    EXPECT_EQ(seenOf(h, 1)->name, "Lamp");
}

TEST(EarIngest, NamesCacheForgetsTheLeastRecentlyHeardBeyondItsBound) {
    EarHarness h;
    const uint32_t bound = static_cast<uint32_t>(listener::Ear::namesMax);
    auto named = [&](uint32_t n) {
        auto a = advert(n);
        a.localName = "n" + std::to_string(n);
        h.hear(a);
    };
    for (uint32_t n = 0; n < bound; ++n)
        named(n);
    named(0);      // heard again: now the most recent
    named(bound);  // one more than the bound: 1 is the least recently heard
    EXPECT_EQ(h.ear->names.size(), bound);
    EXPECT_EQ(h.ear->names.find(testId(1)), nullptr);
    ASSERT_NE(h.ear->names.find(testId(0)), nullptr);

    h.ear->flush();
    h.hear(advert(0));
    h.hear(advert(1));
    h.hear(advert(2));
    EXPECT_EQ(seenOf(h, 0)->name, "n0");
    EXPECT_EQ(seenOf(h, 1)->name, "");
    EXPECT_EQ(seenOf(h, 2)->name, "n2");
}

TEST(EarIngest, ServicesPassThroughAndListenerMarkByValue) {
    const auto battery = *bluetooth::Uuid::parse("180F");
    const auto house = listener::Ear::houseBrelo();
    // The listener UUID as another stack might write it: equal by value, not by text.
    const auto beacon = *bluetooth::Uuid::parse("7e5b8a11-9c2f-4d6a-b1e4-0f3a7c91d2e8");
    using List = std::optional<std::vector<bluetooth::Uuid>>;
    struct Case {
        std::vector<List> reports;
        bool listener;
        std::vector<std::string> services;
    };
    const std::vector<Case> table = {
        {{List{{house}}}, false, {"7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8"}},
        {{List{{battery, battery, beacon}}}, true, {"180F", "180F", "7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8"}},
        {{List{{beacon}}, std::nullopt, List{std::vector<bluetooth::Uuid>{}}}, true, {"7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8"}},
        {{List{{house, battery}}, List{{battery}}}, false, {"180F"}},
        {{List{{beacon}}, List{{battery}}}, true, {"180F"}},  // the mark holds for the window
        {{std::nullopt}, false, {}},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        EarHarness h;
        for (const auto& services : table[i].reports) {
            auto a = advert(1);
            a.serviceUuids = services;
            h.hear(a);
        }
        EXPECT_EQ(seenOf(h, 1)->listener, table[i].listener) << i;
        EXPECT_EQ(seenOf(h, 1)->services, table[i].services) << i;
    }
}

TEST(EarIngest, ReadingsInArrivalOrderAndTransmitPowerKept) {
    EarHarness h;
    auto a = advert(1, -70);
    a.txPowerLevel = -12;
    h.hear(a);
    for (int64_t rssi : {-50, -90, -50})
        h.hear(advert(1, rssi));
    // Either manager may deliver; both are handled alike.
    h.family().discover(advert(1, -61));
    EXPECT_EQ(seenOf(h, 1)->rssi, (std::vector<int64_t>{-70, -50, -90, -50, -61}));
    EXPECT_EQ(seenOf(h, 1)->tx, -12);
    EXPECT_EQ(h.ear->batch.size(), 1u);
}

}  // namespace
}  // namespace brelo::test
