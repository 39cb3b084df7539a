// The binary itself: what it prints at start-up and how it treats a bad server address.
#include <gtest/gtest.h>

#include "support/child_process.h"

namespace brelo::test {
namespace {

// Never the machine's system bus, never a real server: a bus address that goes nowhere and a
// loopback port nobody listens on.
ChildProcess::Options isolated() {
    return {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/brelo-test-bus"}}, .mergeStderr = true};
}

TEST(Startup, UnparsableServerAddressPrintsOneLineAndExitsWithTwo) {
    for (const char* bad : {"", "http://[::1", "http://exa mple.com"}) {
        ChildProcess p({builtPath("brelo-ble"), "--node", "x", "--brelo", bad}, isolated());
        auto status = p.waitExit(20s);
        ASSERT_TRUE(status) << bad;
        EXPECT_EQ(p.exitCode(), 2) << bad;
        ASSERT_EQ(p.lines().size(), 1u) << bad;  // no banner, nothing on stderr either
        EXPECT_EQ(p.lines()[0].substr(19), " bad --brelo");
    }
}

// Under systemd with JOURNAL_STREAM naming standard output, as for StandardOutput=journal:
// each line gets its syslog priority in front, the rest as elsewhere.
TEST(Startup, BannerShowsTheAddressAsTypedAndJournalLinesCarryTheirPriority) {
    std::string url = "127.0.0.1:" + std::to_string(unusedLoopbackPort());  // no scheme: accepted as typed
    ChildProcess p({"/bin/sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$@\"", "sh",
                    builtPath("brelo-ble"), "-v", "--node", "", "--brelo", url, "--room"},
                   isolated());
    // No bus: resetting, posted to a port where nothing listens.
    ASSERT_TRUE(p.waitForLine("post failed", 20s)) << testing::PrintToString(p.lines());
    ASSERT_GE(p.lines().size(), 3u);
    EXPECT_EQ(p.lines()[0].substr(0, 3) + p.lines()[0].substr(22), "<6> brelo-ble 2.0 ear '' -> " + url);
    EXPECT_EQ(p.lines()[1].substr(0, 3) + p.lines()[1].substr(22), "<4> bluetooth state 1");
    EXPECT_EQ(p.lines()[*p.waitForLine("post failed")].substr(0, 3), "<3>");
    p.stop();
    EXPECT_EQ(p.exitCode(), 0);  // SIGTERM is an orderly stop
}

}  // namespace
}  // namespace brelo::test
