// Command-line values nobody should type: as long as the kernel allows, invalid UTF-8,
// control characters and line feeds. Each has a clear outcome (a refusal with "bad --brelo"
// and status 2, or a running node whose uploads are sound JSON) and none a crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/settings.h"
#include "beacon/beacon.h"
#include "body_validator.h"
#include "loopback_server.h"
#include "program_fixture.h"
#include "reporting/curl/url.h"
#include "support/child_process.h"
#include "support/ear_harness.h"
#include "support/private_bus.h"

namespace brelo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// Linux takes no single argument longer than 32 pages (MAX_ARG_STRLEN, 128 KiB with the NUL):
// execve refuses it before the program runs. This is the longest value a user can hand over.
const size_t kLongestArgument = 128 * 1024 - 1;

const std::string kInvalidUtf8 = "hall\xff\xfe\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80-end";
const std::string kControl = "hall\nsecond line\r\t\x01\x1b[31mred\x7f";

// A text as the server reads it from the JSON the node sends (invalid UTF-8 replaced).
std::string asSent(const std::string& s) {
    return json::parse(json(s).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

// Texts joined step by step: gcc 12 warns, wrongly, of overlapping copies in "a" + b here.
std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto part : parts)
        out.append(part);
    return out;
}

enum class Outcome { Runs, Refused, Either };

struct Case {
    const char* name;
    std::string option;
    std::string value;  // for --brelo, put after the server's URL unless it starts with '!'
    Outcome outcome;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class HostileCommandLine : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (!PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        bus_ = std::make_unique<PrivateBus>();
    }
    std::unique_ptr<PrivateBus> bus_;
};

TEST_P(HostileCommandLine, HasAClearOutcomeAndNeverCrashes) {
    const Case c = GetParam();
    LoopbackServer server;
    std::string brelo = server.url();
    std::vector<std::string> argv{builtPath("brelo-ble"), "--node", "hall", "--room", "lab"};
    if (c.option == "--brelo") {
        brelo = c.value[0] == '!' ? c.value.substr(1) : server.url() + c.value;
    } else {
        argv.push_back(c.option);
        argv.push_back(c.value);
    }
    argv.push_back("--brelo");
    argv.push_back(brelo);
    ChildProcess node(argv, {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}}, .mergeStderr = true});

    // Without BlueZ on the bus the node reports "unsupported" at once: an upload, or a
    // failure line when the URL leads nowhere.
    auto settled = [&](const std::vector<std::string>& lines) {
        return !node.running() || server.count() > 0 ||
               joined(lines).find("post failed: ") != std::string::npos;
    };
    // Its output ends a moment before the process does: then wait for the exit itself.
    if (!node.waitFor(settled, 20s) || !node.running())
        node.waitExit(5s);
    if (!node.running()) {
        const auto exited = node.exitCode();
        ASSERT_TRUE(exited.has_value());
        EXPECT_NE(c.outcome, Outcome::Runs) << "exited with " << *exited << ": " << joined(node.lines()).substr(0, 300);
        EXPECT_EQ(*exited, 2);
        ASSERT_EQ(node.lines().size(), 1u);
        EXPECT_THAT(node.lines()[0], ::testing::EndsWith(" bad --brelo"));
        return;
    }
    EXPECT_NE(c.outcome, Outcome::Refused);
    ASSERT_TRUE(node.running());
    const std::string output = joined(node.lines());
    const std::string nodeName = c.option == "--node" ? c.value : "hall";
    const std::string room = c.option == "--room" ? c.value : "lab";
    // The banner as given, line feeds and all: log lines are written verbatim.
    EXPECT_NE(output.find("brelo-ble 2.0 ear '" + nodeName + "' -> " + brelo + "\n"), std::string::npos);
    for (const auto& request : server.received()) {
        auto checked = sink::checkUploadText(request.body);
        ASSERT_TRUE(checked.body.has_value()) << checked.faults.front().text();
        EXPECT_TRUE(checked.faults.empty()) << checked.faults.front().text();
        EXPECT_EQ((*checked.body)["node"], asSent(nodeName));
        EXPECT_EQ((*checked.body)["room"], asSent(room));
        EXPECT_EQ((*checked.body)["status"], "unsupported");
    }
    // Still there a moment later.
    node.waitFor([](const auto&) { return false; }, 500ms);
    EXPECT_TRUE(node.running());
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostileCommandLine,
    ::testing::Values(Case{"LongestNode", "--node", std::string(kLongestArgument, 'n'), Outcome::Runs},
                      Case{"InvalidUtf8Node", "--node", kInvalidUtf8, Outcome::Runs},
                      Case{"ControlCharactersNode", "--node", kControl, Outcome::Runs},
                      Case{"LongestRoom", "--room", std::string(kLongestArgument, 'r'), Outcome::Runs},
                      Case{"InvalidUtf8Room", "--room", kInvalidUtf8, Outcome::Runs},
                      Case{"ControlCharactersRoom", "--room", kControl, Outcome::Runs},
                      Case{"LongestBreloPath", "--brelo", join({"/", std::string(kLongestArgument - 40, 'p')}), Outcome::Either},
                      Case{"InvalidUtf8Brelo", "--brelo", join({"/", kInvalidUtf8}), Outcome::Either},
                      Case{"ControlCharactersBrelo", "--brelo", join({"/", kControl}), Outcome::Either},
                      Case{"LongestGarbageBrelo", "--brelo", join({"!", std::string(kLongestArgument - 1, '\x01')}),
                           Outcome::Refused},
                      Case{"InvalidUtf8HostBrelo", "--brelo", "!http://\xff\xfe:8791", Outcome::Either}),
    [](const auto& info) { return std::string(info.param.name); });

// The node name becomes the beacon's name on BlueZ: cut to 12 characters, and refused by
// the bus (which carries only UTF-8) when it is not UTF-8. Either way the node listens on.
struct NameCase {
    const char* name;
    std::string node;
    std::string logged;  // what the "beacon ... on" line shows (its first line, for a name with a line feed)
    bool registers;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class HostileNodeNameOnBluez : public ProgramOnFakeBluez, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileNodeNameOnBluez, BeaconIsOnOrRefusedAndTheNodeListensOn) {
    const NameCase c = GetParam();
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    ChildProcess& node = startNode(c.node);
    ASSERT_TRUE(waitForLog(node, "status listening")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(waitForLog(node, c.logged)) << testing::PrintToString(node.lines());
    if (c.registers) {
        EXPECT_TRUE(fake_->waitForLine("registered ")) << testing::PrintToString(fake_->lines());
        EXPECT_EQ(node.countLines(" refused: "), 0u);
    } else {
        EXPECT_TRUE(waitForLog(node, " refused: ")) << testing::PrintToString(node.lines());
    }
    ASSERT_TRUE(fake_->waitForLine("discovery start"));
    ASSERT_TRUE(fake_->run("advert C0:FF:EE:00:00:01 rssi=-55 name=Desk"));
    ASSERT_TRUE(waitForUploads([](const auto& uploads) { return !recordsNamed(uploads, "Desk").empty(); }));
    for (const auto& request : server_->received()) {
        auto checked = sink::checkUploadText(request.body);
        EXPECT_TRUE(checked.faults.empty()) << checked.faults.front().text();
    }
    EXPECT_TRUE(node.running());
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostileNodeNameOnBluez,
    ::testing::Values(
        NameCase{"Longest", std::string(kLongestArgument, 'n'), join({"beacon KVQ-", std::string(12, 'n'), " on"}), true},
        NameCase{"ControlCharacters", kControl, "beacon KVQ-hall", true},
        NameCase{"InvalidUtf8", kInvalidUtf8, join({"beacon ", beacon::Beacon::beaconName(kInvalidUtf8), " refused: "}),
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// Values of 1 MiB cannot reach the program through execve, but nothing in it depends on
// that: the command line, the URL check, the beacon name and the upload body take them.
TEST(HostileValues, OneMebibyteValuesAreTakenWholeAndUploadAsSoundJson) {
    const std::string mib(1 << 20, 'm');
    std::string invalid;
    while (invalid.size() < (1u << 20))
        invalid += kInvalidUtf8 + kControl;

    Settings s = readCommandLine({"--node", invalid, "--room", mib, "--brelo", "http://h/" + mib}, "default");
    EXPECT_EQ(s.node, invalid);
    EXPECT_EQ(s.room, mib);
    (void)reporting::urlParses(s.brelo);  // either answer will do; it must come back
    (void)reporting::urlParses(invalid);

    const std::string name = beacon::Beacon::beaconName(invalid);
    EXPECT_EQ(name.rfind("KVQ-", 0), 0u);
    EXPECT_LE(name.size(), 4u + 12u * 4u);

    EarHarness h(mib);
    listener::Ear ear("http://127.0.0.1:8791", invalid,
                      {.bluetooth = h.bluetooth, .timers = h.time, .clock = h.time, .http = h.http, .room = mib});
    bluetooth::Advertisement a = advert(1);
    a.localName = invalid;
    ear.centralManagerDidDiscover(*h.bluetooth.centrals().at(2), a);
    ear.flush();
    ASSERT_EQ(h.http.calls.size(), 1u);
    auto checked = sink::checkUploadText(h.http.calls[0].request.body);
    ASSERT_TRUE(checked.body.has_value()) << checked.faults.front().text();
    EXPECT_TRUE(checked.faults.empty()) << checked.faults.front().text();
    EXPECT_EQ((*checked.body)["node"], asSent(invalid));
    EXPECT_EQ((*checked.body)["room"], mib);
    EXPECT_EQ((*checked.body)["devices"][0]["name"], asSent(invalid));
}

}  // namespace
}  // namespace brelo::test
