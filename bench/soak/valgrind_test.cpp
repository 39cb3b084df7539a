// brelo-ble under valgrind through a working day in miniature: devices heard and uploaded,
// failed uploads replayed, bluetoothd restarts, a power cycle, a dropped adapter. Stopped
// with SIGTERM, as a service manager does, valgrind then reports what is still allocated
// and whether any of it was lost. (In the sanitizer build this is LeakSanitizer's job, and
// valgrind cannot run a sanitized program: the test is skipped there.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <unistd.h>

#include "program_fixture.h"
#include "reliability_support.h"

namespace brelo::test {
namespace {

using namespace std::chrono_literals;

const char* const kValgrind = "/usr/bin/valgrind";

// "definitely lost: 1,234 bytes in 5 blocks" -> 1234
long bytesLost(const std::vector<std::string>& lines, const std::string& kind) {
    const std::regex pattern(kind + " lost: ([0-9,]+) bytes");
    for (const auto& line : lines) {
        // An orderly stop may free everything; valgrind then prints no leak summary.
        if (line.find("All heap blocks were freed -- no leaks are possible") != std::string::npos)
            return 0;
        std::smatch m;
        if (std::regex_search(line, m, pattern)) {
            std::string digits = m[1];
            std::erase(digits, ',');
            return std::stol(digits);
        }
    }
    return -1;
}

class Valgrind : public ProgramOnFakeBluez {};

TEST_F(Valgrind, NodeLosesNoMemoryThroughUploadsFailuresRestartsAndPowerCycles) {
    if (addressSanitized())
        GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer; LeakSanitizer checks it";
    if (access(kValgrind, X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
    ASSERT_TRUE(fake_->run("adapter add hci0\n"
                           "every 0.3 advert C0:FF:EE:00:00:01 rssi=-55 name=Desk mfg=004c:0215aabb\n"
                           "every 0.5 advert C0:FF:EE:00:00:02 rssi=-70 name=KVQ-hall uuids=" +
                           std::string("7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8")));
    ChildProcess node({kValgrind, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                       "--error-exitcode=99", builtPath("brelo-ble"), "--brelo", server_->url(), "--node", "valgrind",
                       "--room", "lab"},
                      {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}}, .mergeStderr = true});
    auto hasRecords = [&](size_t n) {
        return waitForUploads(
            [n](const auto& uploads) {
                size_t records = 0;
                for (const auto& body : uploads)
                    records += body.value("devices", nlohmann::json::array()).size();
                return records >= n;
            },
            60s);
    };
    ASSERT_TRUE(waitForLog(node, "status listening", 1, 60s)) << testing::PrintToString(node.lines());
    ASSERT_TRUE(hasRecords(2));

    // Failures and replay.
    server_->answer(503);
    ASSERT_TRUE(waitForLog(node, "post failed: HTTP 503", 2, 30s));
    server_->answer(200);
    // bluetoothd restarts, a power cycle, the adapter pulled and plugged in again.
    ASSERT_TRUE(fake_->run("restart 0.2"));
    ASSERT_TRUE(waitForLog(node, "status listening", 2, 30s)) << testing::PrintToString(node.lines());
    ASSERT_TRUE(fake_->run("power hci0 off"));
    ASSERT_TRUE(waitForLog(node, "status bluetooth-off", 1, 30s));
    ASSERT_TRUE(fake_->run("power hci0 on"));
    ASSERT_TRUE(waitForLog(node, "status listening", 3, 30s));
    ASSERT_TRUE(fake_->run("adapter remove hci0"));
    ASSERT_TRUE(waitForLog(node, "status unsupported", 1, 30s));
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    ASSERT_TRUE(waitForLog(node, "status listening", 4, 30s));
    ASSERT_TRUE(fake_->run("every 0.3 advert C0:FF:EE:00:00:03 rssi=-60 name=Lamp"));
    const size_t before = records().size();
    ASSERT_TRUE(hasRecords(before + 2));

    node.signal(SIGTERM);
    auto status = node.waitExit(60s);
    ASSERT_TRUE(status.has_value());
    node.waitFor([](const auto&) { return false; }, 200ms);  // the rest of valgrind's report
    const auto& lines = node.lines();
    const long definitely = bytesLost(lines, "definitely");
    const long indirectly = bytesLost(lines, "indirectly");
    ASSERT_GE(definitely, 0) << "no leak summary from valgrind:\n" << testing::PrintToString(lines);
    EXPECT_EQ(definitely, 0) << testing::PrintToString(lines);
    EXPECT_EQ(indirectly, 0) << testing::PrintToString(lines);
    bool noErrors = false;
    for (const auto& line : lines)
        noErrors = noErrors || line.find("ERROR SUMMARY: 0 errors") != std::string::npos;
    EXPECT_TRUE(noErrors) << testing::PrintToString(lines);
    figure("valgrind.definitely_lost_bytes", std::to_string(definitely));
    figure("valgrind.indirectly_lost_bytes", std::to_string(indirectly));
}

}  // namespace
}  // namespace brelo::test
