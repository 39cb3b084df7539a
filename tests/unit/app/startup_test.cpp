// The binary itself: what it prints at start-up and how it treats a bad server address.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "support/child_process.h"

namespace brelo::test {
namespace {

// Never the machine's system bus, never a real server: a bus address that goes nowhere and a
// loopback port nobody listens on.
ChildProcess::Options isolated() {
    return {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/brelo-test-bus"}}, .mergeStderr = true};
}

std::vector<std::string> argsWith(std::vector<std::string> extra) {
    std::vector<std::string> args{builtPath("brelo-ble")};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(Startup, UnparsableServerAddressPrintsOneLineAndExitsWithTwo) {
    for (const char* bad : {"", "http://[::1", "http://exa mple.com"}) {
        ChildProcess p(argsWith({"--node", "x", "--brelo", bad}), isolated());
        auto status = p.waitExit(20s);
        ASSERT_TRUE(status) << bad;
        EXPECT_EQ(p.exitCode(), 2) << bad;
        ASSERT_EQ(p.lines().size(), 1u) << bad;  // no banner, nothing on stderr either
        EXPECT_EQ(p.lines()[0].substr(19), " bad --brelo");
    }
}

TEST(Startup, BannerShowsTheAddressAsTypedAndTheProcessKeepsRunning) {
    std::string url = "127.0.0.1:" + std::to_string(unusedLoopbackPort());  // no scheme: accepted as typed
    ChildProcess p(argsWith({"-v", "--node", "", "--brelo", url, "--room"}), isolated());
    auto banner = p.waitForLine("brelo-ble", 20s);
    ASSERT_TRUE(banner);
    EXPECT_EQ(p.lines()[*banner].substr(19), " brelo-ble 2.0 ear '' -> " + url);
    // The radio's state arrives from the loop after start-up; the process is still there.
    ASSERT_TRUE(p.waitForLine("bluetooth state", 20s));
    EXPECT_TRUE(p.running());
    p.stop();
    EXPECT_EQ(p.exitCode(), 0);  // SIGTERM is an orderly stop
}

TEST(Startup, DefaultNodeNameComesFromTheHostName) {
    ChildProcess p(argsWith({"--brelo", "http://127.0.0.1:" + std::to_string(unusedLoopbackPort())}), isolated());
    auto banner = p.waitForLine("brelo-ble", 20s);
    ASSERT_TRUE(banner);
    EXPECT_NE(p.lines()[*banner].find("ear '" + nodeNameFromHostName(hostName()) + "' -> http://127.0.0.1:"),
              std::string::npos);
}

}  // namespace
}  // namespace brelo::test
