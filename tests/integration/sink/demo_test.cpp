// scripts/demo as CI runs it: twenty seconds of the whole chain (private bus, fake-bluez,
// brelo-ble, brelo-sink), then a check of what reached the sink and of what is left running.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/settings.h"
#include "body_validator.h"
#include "support/child_process.h"
#include "support/private_bus.h"

namespace brelo::test {
namespace {

using nlohmann::json;

TEST(Demo, RunsTheWholeChainAndLeavesNothingRunning) {
    if (!PrivateBus::available())
        GTEST_SKIP() << "dbus-daemon is not installed";
    char dir[] = "/tmp/brelo-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string logPath = std::string(dir) + "/uploads.jsonl";
    struct Cleanup {
        const char* dir;
        std::string log;
        ~Cleanup() { std::remove(log.c_str()), rmdir(dir); }
    } cleanup{dir, logPath};
    ChildProcess demo({sourcePath("scripts/demo"), "--for", "20", "--no-build", "--build-dir", BRELO_BINARY_DIR,
                       "--port", std::to_string(unusedLoopbackPort()), "--json-log", logPath},
                      {.environment = {}, .mergeStderr = true});
    auto status = demo.waitExit(150s);
    std::string output;
    for (const auto& line : demo.lines())
        output += line + "\n";
    ASSERT_TRUE(status) << "the demo did not end\n" << output;
    EXPECT_EQ(demo.exitCode(), 0) << output;

    // Every process it started, by the pid it announced, is gone.
    std::regex started(R"(demo started (\S+) \(pid (\d+)\))");
    std::vector<std::string> names;
    for (const auto& line : demo.lines()) {
        std::smatch m;
        if (!std::regex_search(line, m, started))
            continue;
        names.push_back(m[1]);
        pid_t pid = std::stoi(m[2]);
        errno = 0;
        EXPECT_TRUE(kill(pid, 0) == -1 && errno == ESRCH) << m[1] << " (pid " << pid << ") is still running";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"dbus-daemon", "fake-bluez", "brelo-sink", "brelo-ble"})) << output;
    EXPECT_EQ(demo.countLines("nothing left running"), 1u) << output;
    EXPECT_EQ(demo.countLines("ear '" + nodeNameFromHostName(hostName()) + "' -> "), 1u) << "node named by the host";
    EXPECT_EQ(demo.countLines("sink 400"), 0u) << "the sink found a bad upload\n" << output;
    // The ear stops first and its last upload still finds the sink.
    EXPECT_EQ(demo.countLines("stopped after "), 1u) << output;
    EXPECT_EQ(demo.countLines("not delivered"), 0u) << output;

    // What reached the sink: sound uploads with devices, among them the attic ear's beacon.
    std::ifstream in(logPath);
    size_t withDevices = 0;
    bool attic = false;
    for (std::string line; std::getline(in, line);) {
        json entry = json::parse(line, nullptr, false);
        ASSERT_FALSE(entry.is_discarded()) << line;
        const json& body = entry["body"];
        auto faults = sink::checkUploadBody(body);
        EXPECT_TRUE(faults.empty()) << faults.front().text();
        if (entry["answer"] == 204 && !body["devices"].empty())
            ++withDevices;
        for (const auto& record : body["devices"])
            attic = attic || record.value("listener", "") == "attic";
    }
    EXPECT_GE(withDevices, 3u) << output;
    EXPECT_TRUE(attic) << "no record with \"listener\": \"attic\"\n" << output;
}

}  // namespace
}  // namespace brelo::test
