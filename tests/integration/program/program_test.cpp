#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_server.h"
#include "support/child_process.h"
#include "support/private_bus.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// The whole program against a real server on loopback, on a private bus with no BlueZ:
// without a radio it reports its status word at once and at every check-in.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PrivateBus::available())
            GTEST_SKIP() << "dbus-daemon is not installed";
        bus_ = std::make_unique<test::PrivateBus>();
    }

    std::unique_ptr<test::ChildProcess> run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), test::builtPath("brelo-ble"));
        test::ChildProcess::Options options{.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}}};
        return std::make_unique<test::ChildProcess>(std::move(arguments), std::move(options));
    }

private:
    std::unique_ptr<test::PrivateBus> bus_;
};

TEST_F(Program, ServerAnswering500IsLoggedAndTheUploadWasWellFormed) {
    test::LoopbackServer server;
    server.answer(500);
    auto program = run({"--brelo", server.url(), "--node", "http-test", "--room", "kitchen"});
    // Once for the status word at start, once more at the first check-in 10 s later.
    const std::string failed = "post failed: HTTP 500 - keeping 0 readings for the next try";
    ASSERT_TRUE(program->waitFor([&](const auto&) { return program->countLines(failed) >= 2; }, 35s))
        << testing::PrintToString(program->lines());

    std::vector<test::ReceivedRequest> received = server.received();
    ASSERT_FALSE(received.empty());
    const test::ReceivedRequest& r = received.front();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/ble/ingest");
    EXPECT_EQ(r.contentType, "application/json");
    EXPECT_FALSE(r.hasExpect);
    nlohmann::json body = nlohmann::json::parse(r.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << r.body;
    EXPECT_EQ(body.value("node", ""), "http-test");
    EXPECT_EQ(body.value("room", ""), "kitchen");
    EXPECT_EQ(body.value("version", ""), "2.0");
    EXPECT_TRUE(body.contains("status") && body["status"].is_string());
    EXPECT_TRUE(body.contains("sent_at") && body["sent_at"].is_number_float());
    EXPECT_TRUE(body.contains("devices") && body["devices"].is_array());
}

TEST_F(Program, UnreachableServerIsLoggedWithCurlsMessage) {
    auto program = run({"--brelo", "http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort())});
    std::optional<size_t> line = program->waitForLine(" - keeping 0 readings for the next try", 20s);
    ASSERT_TRUE(line) << testing::PrintToString(program->lines());
    const std::string& text = program->lines()[*line];
    EXPECT_THAT(text, HasSubstr("post failed: "));
    EXPECT_THAT(text, Not(HasSubstr("post failed: HTTP ")));
    EXPECT_THAT(text, HasSubstr("onnect"));
}

}  // namespace
}  // namespace brelo
