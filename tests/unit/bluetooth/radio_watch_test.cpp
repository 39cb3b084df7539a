#include "bluetooth/radio_watch.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/log_writer.h"

namespace brelo::bluetooth {
namespace {

using Action = RadioWatch::Action;

class RadioWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = replaceLogSink([this](std::string_view line) { lines.emplace_back(line.substr(20, line.size() - 21)); });
    }
    void TearDown() override { replaceLogSink(previous); }

    // Checks every 5 s from `from` to `to` and returns the times of the power cycles asked for.
    std::vector<double> cyclesBetween(double from, double to) {
        std::vector<double> at;
        for (double t = from; t <= to; t += 5)
            if (watch.check(t, "hci0") == Action::powerCycle)
                at.push_back(t);
        return at;
    }

    RadioWatch watch;
    std::vector<std::string> lines;
    LogSink previous;
};

TEST_F(RadioWatchTest, AnEmptyRoomIsNeverTouched) {
    EXPECT_TRUE(cyclesBetween(0, 12 * 3600).empty());
    EXPECT_TRUE(lines.empty());
    // Nor is one whose devices were heard before the user switched the radio off and on.
    watch.heard(0);
    watch.reset();
    EXPECT_TRUE(cyclesBetween(0, 3600).empty());
}

TEST_F(RadioWatchTest, SilenceAfterDevicesClimbsTheLadderThenSlowsDown) {
    watch.heard(100);
    EXPECT_EQ(watch.check(140, "hci0"), Action::none);
    EXPECT_EQ(watch.check(145, "hci0"), Action::restartDiscovery);
    EXPECT_EQ(watch.check(150, "hci0"), Action::none);
    EXPECT_EQ(watch.check(165, "hci0"), Action::powerCycle);
    EXPECT_EQ(watch.describe(170), "radio silent 70 s, adapter power-cycled");
    // Nothing back after the cycle: the next ones about 10, 20, 40, 60 and 60 min apart.
    std::vector<double> cycles = cyclesBetween(170, 170 + 4 * 3600);
    cycles.insert(cycles.begin(), 165);
    std::vector<long> gaps;
    for (size_t i = 1; i < cycles.size(); ++i)
        gaps.push_back(std::lround((cycles[i] - cycles[i - 1]) / 60));
    EXPECT_EQ(gaps, (std::vector<long>{10, 20, 40, 60, 60}));
    EXPECT_EQ(lines[0], "radio silent for 45 s while discovering: restarting discovery");
    EXPECT_EQ(lines[1], "radio still silent (65 s): power-cycling hci0");
    EXPECT_EQ(lines[2], "radio still silent, after power-cycling hci0: next power cycle in 10 min");

    // Hearing ends it; a new silence soon after a cycle waits out the gap before the next one.
    watch.heard(20000);
    EXPECT_EQ(lines.back(), "radio hears again after power-cycling the adapter (silent 19900 s)");
    EXPECT_EQ(watch.describe(20000), "");
    EXPECT_EQ(watch.check(20045, "hci0"), Action::restartDiscovery);
    EXPECT_EQ(watch.check(20050, "hci0"), Action::none);
    EXPECT_EQ(watch.check(20065, "hci0"), Action::powerCycle);
    watch.heard(20070);
    EXPECT_EQ(watch.check(20115, "hci0"), Action::restartDiscovery);
    EXPECT_EQ(cyclesBetween(20120, 20120 + 600), std::vector<double>{20365});
}

}  // namespace
}  // namespace brelo::bluetooth
