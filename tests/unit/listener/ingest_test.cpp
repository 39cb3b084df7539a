#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

const listener::Seen* seenOf(const EarHarness& h, uint32_t n) {
    auto it = h.ear->sightings().window().find(testId(n));
    return it == h.ear->sightings().window().end() ? nullptr : &it->second;
}

TEST(EarIngest, AnEmptyLocalNameWinsOverThePlatformsName) {
    EarHarness h;
    auto a = advert(1);
    a.localName = "";
    a.peripheralName = "Desk";
    h.hear(a);
    EXPECT_EQ(seenOf(h, 1)->name, "");
    EXPECT_TRUE(h.ear->sightings().names().empty());
}

TEST(EarIngest, NamesCacheForgetsTheLeastRecentlyHeardBeyondItsBound) {
    EarHarness h;
    const uint32_t bound = static_cast<uint32_t>(listener::Sightings::namesMax);
    auto named = [&](uint32_t n) {
        auto a = advert(n);
        a.localName = "n" + std::to_string(n);
        h.hear(a);
    };
    for (uint32_t n = 0; n < bound; ++n)
        named(n);
    named(0);      // heard again: now the most recent
    named(bound);  // one more than the bound: 1 is the least recently heard
    EXPECT_EQ(h.ear->sightings().names().size(), bound);
    EXPECT_EQ(h.ear->sightings().names().find(testId(1)), nullptr);
    ASSERT_NE(h.ear->sightings().names().find(testId(0)), nullptr);

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
    const auto house = bluetooth::houseBreloService();
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

}  // namespace
}  // namespace brelo::test
