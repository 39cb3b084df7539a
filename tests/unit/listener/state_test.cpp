#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

using Strings = std::vector<std::string>;

TEST(EarWord, MapsEveryStateAndTreatsUnknownValuesAsStarting) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "starting"},         {1, "resetting"}, {2, "unsupported"}, {3, "needs-permission"},
        {4, "bluetooth-off"},    {5, "listening"}, {6, "starting"},    {-1, "starting"},
    };
    for (const auto& [state, word] : table)
        EXPECT_EQ(listener::Ear::word(static_cast<bluetooth::ManagerState>(state)), word) << state;
}

TEST(EarState, CentralDrivesStatusLinesUploadsAndScanning) {
    EarHarness h;
    h.central().report(bluetooth::ManagerState::poweredOn);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 5", "status listening"}));
    EXPECT_EQ(h.ear->status(), "listening");
    EXPECT_TRUE(h.http.calls.empty()) << "listening is reported by the next flush or check-in";
    ASSERT_EQ(h.central().scans.size(), 1u);
    EXPECT_FALSE(h.central().scans[0].services.has_value());

    h.log.lines.clear();
    h.central().report(bluetooth::ManagerState::poweredOff);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 4", "status bluetooth-off"}));
    ASSERT_EQ(h.http.calls.size(), 1u);
    EXPECT_EQ(h.body(0)["status"], "bluetooth-off");
    EXPECT_EQ(h.body(0)["devices"], nlohmann::json::array());
    EXPECT_EQ(h.central().scans.size(), 1u) << "no scan while off";

    // The same state again: only its state line.
    h.log.lines.clear();
    h.central().report(bluetooth::ManagerState::poweredOff);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 4"}));
    EXPECT_EQ(h.http.calls.size(), 1u);

    // Powered on twice: the scan is asked for each time, the status line only once.
    h.log.lines.clear();
    h.central().report(bluetooth::ManagerState::poweredOn);
    h.central().report(bluetooth::ManagerState::poweredOn);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 5", "status listening", "bluetooth state 5"}));
    EXPECT_EQ(h.central().scans.size(), 3u);
    EXPECT_EQ(h.http.calls.size(), 1u);
}

TEST(EarState, FamilyOnlyLogsAndScansForHouseDevices) {
    EarHarness h;
    h.family().report(bluetooth::ManagerState::poweredOn);
    h.family().report(bluetooth::ManagerState::unauthorized);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 5", "bluetooth state 3"}));
    EXPECT_EQ(h.ear->status(), "starting");
    EXPECT_TRUE(h.http.calls.empty());
    ASSERT_EQ(h.family().scans.size(), 1u);
    EXPECT_EQ(h.family().scans[0].services, std::vector<bluetooth::Uuid>{bluetooth::houseBreloService()});
    EXPECT_TRUE(h.central().scans.empty());
}

TEST(EarState, UnauthorizedAfterCheckInAlreadySaidSoIsSilent) {
    EarHarness h;
    h.central().report(bluetooth::ManagerState::poweredOn);
    h.bluetooth.setAuthorization(bluetooth::Authorization::denied);
    h.ear->checkIn();
    ASSERT_EQ(h.http.calls.size(), 1u);
    h.log.lines.clear();
    h.central().report(bluetooth::ManagerState::unauthorized);
    EXPECT_EQ(h.log.lines, (Strings{"bluetooth state 3"}));
    EXPECT_EQ(h.http.calls.size(), 1u);
}

}  // namespace
}  // namespace brelo::test
