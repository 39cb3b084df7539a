#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

std::vector<std::string> statuses(const EarHarness& h) {
    std::vector<std::string> out;
    for (size_t i = 0; i < h.http.calls.size(); ++i)
        out.push_back(h.body(i).at("status"));
    return out;
}

using Strings = std::vector<std::string>;

TEST(EarCheckIn, FirstCheckInOfAListeningNodeIsAHeartbeat) {
    EarHarness h;
    h.central().report(bluetooth::ManagerState::poweredOn);
    h.time.advance(listener::Ear::checkInIntervalS);  // the timer's first tick
    EXPECT_EQ(statuses(h), Strings{"listening"});
    EXPECT_EQ(h.devices(0), nlohmann::json::array());
}

TEST(EarCheckIn, HeartbeatOnlyAfter10SecondsWithoutAnUpload) {
    struct Case {
        std::vector<double> shifts;  // wall-clock moves after the last upload, one check-in after each
        size_t heartbeats;
    };
    const std::vector<Case> table = {
        {{9.9}, 0},
        {{10.0}, 1},
        {{25.0}, 1},
        // The clock was set back: lastSent lies in the future until time catches up.
        {{-60.0, 69.9, 0.1}, 1},
    };
    for (const auto& c : table) {
        EarHarness h;
        h.central().report(bluetooth::ManagerState::poweredOn);
        h.ear->send({}, "listening");
        for (double shift : c.shifts) {
            h.time.shiftWallClock(shift);
            h.ear->checkIn();
        }
        EXPECT_EQ(h.http.calls.size(), 1 + c.heartbeats) << c.shifts.front();
    }
}

TEST(EarCheckIn, NotListeningIsReportedAtEveryCheckIn) {
    EarHarness h;
    h.central().report(bluetooth::ManagerState::poweredOff);
    h.ear->checkIn();
    h.ear->checkIn();
    EXPECT_EQ(statuses(h), (Strings{"bluetooth-off", "bluetooth-off", "bluetooth-off"}));

    EarHarness fresh;  // no report yet; allowed to use Bluetooth
    fresh.ear->checkIn();
    EXPECT_EQ(statuses(fresh), Strings{"starting"});
}

TEST(EarCheckIn, MissingPermissionOverridesStatusSilently) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "needs-permission"}, {1, "needs-permission"}, {2, "needs-permission"}, {3, "listening"}, {7, "listening"},
    };
    for (const auto& [authorization, word] : table) {
        EarHarness h;
        h.central().report(bluetooth::ManagerState::poweredOn);
        h.bluetooth.setAuthorization(static_cast<bluetooth::Authorization>(authorization));
        h.log.lines.clear();
        h.ear->checkIn();
        EXPECT_EQ(h.ear->status(), word) << authorization;
        EXPECT_EQ(statuses(h), Strings{word}) << authorization;
        EXPECT_TRUE(h.log.lines.empty()) << authorization;
    }
}

}  // namespace
}  // namespace brelo::test
