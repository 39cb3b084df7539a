#include "known_devices.h"

#include <chrono>

#include <gtest/gtest.h>

#include "answer_policy.h"
#include "printable.h"

namespace brelo::sink {
namespace {

using nlohmann::json;

json record(const std::string& id, double ts, int rssi, const std::string& name = "", int packets = 1) {
    return {{"id", id}, {"rssi", rssi}, {"name", name}, {"ts", ts}, {"packets", packets}};
}

json upload(const std::string& node, std::vector<json> records) {
    return {{"node", node}, {"devices", records}};
}

TEST(KnownDevices, KeepsTheNewestOfEachDeviceAndItsLastName) {
    KnownDevices known(10);
    known.add(upload("hall", {record("A", 100, -60, "Pixel", 3)}));
    known.add(upload("attic", {record("A", 102, -70, "", 2)}));
    // A replay of an older flush arrives late: its packets count, its figures do not.
    known.add(upload("hall", {record("A", 98, -40, "Old", 4)}));

    auto list = known.newestFirst();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].rssi, -70);
    EXPECT_EQ(list[0].name, "Pixel") << "an empty name does not erase a known one";
    EXPECT_EQ(list[0].heardBy, "attic");
    EXPECT_EQ(list[0].lastSeen, 102);
    EXPECT_EQ(list[0].packets, 9u);
}

TEST(KnownDevices, StaysWithinItsCapacityByForgettingTheOldest) {
    KnownDevices known(3);
    for (int i = 0; i < 10; ++i)
        known.add(upload("hall", {record("D" + std::to_string(i), 100 + i, -60)}));
    known.add(upload("hall", {record("D7", 200, -50)}));  // refreshed, so D8 is now the oldest
    known.add(upload("hall", {record("N", 150, -50)}));

    auto list = known.newestFirst();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].id, "D7");
    EXPECT_EQ(list[1].id, "N");
    EXPECT_EQ(list[2].id, "D9");
    EXPECT_EQ(known.evicted(), 8u);
}

TEST(KnownDevices, RendersHostileNamesOnOneLineEach) {
    KnownDevices known(10);
    json rec = record("B", 100, -60, "evil\nname\x1b[2J that is far too long for the column");
    rec["listener"] = "kitchen";
    known.add(upload("hall", {rec}));
    std::string table = known.render(105, 40);
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3) << table;
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_NE(table.find("1 listener"), std::string::npos) << table;
    EXPECT_EQ(known.toJson()["devices"][0]["listener"], "kitchen");
}

TEST(Printable, CutsAtACharacterBoundary) {
    EXPECT_EQ(printable("h\xc3\xa9llo", 2), "h~");
    EXPECT_EQ(printable("h\xc3\xa9llo", 3), "h\xc3\xa9~");
    EXPECT_EQ(printable("a\tb", 10), "a?b");
}

TEST(AnswerPolicy, AWindowEndsByItself) {
    using Clock = AnswerPolicy::Clock;
    auto t0 = Clock::time_point{} + std::chrono::hours(1);
    AnswerPolicy policy(Answer{.status = 204});
    policy.setWindow(Answer{.status = 503}, t0 + std::chrono::seconds(10), t0 + std::chrono::seconds(40));

    EXPECT_EQ(policy.current(t0).status, 204);
    EXPECT_EQ(policy.current(t0 + std::chrono::seconds(10)).status, 503);
    EXPECT_NEAR(*policy.windowLeft(t0 + std::chrono::seconds(25)), 15.0, 1e-9);
    EXPECT_EQ(policy.current(t0 + std::chrono::seconds(40)).status, 204);
    EXPECT_FALSE(policy.windowLeft(t0 + std::chrono::seconds(40)));

    policy.setStanding(Answer{.hang = true});
    EXPECT_TRUE(policy.current(t0).hang);
    EXPECT_EQ(policy.current(t0 + std::chrono::seconds(20)).status, 503);
}

}  // namespace
}  // namespace brelo::sink
