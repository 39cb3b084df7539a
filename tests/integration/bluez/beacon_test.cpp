// brelo-ble's beacon against fake-bluez: what BlueZ reads back, when it is (re-)registered,
// and refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "program_fixture.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

using BeaconOnFakeBluez = test::ProgramOnFakeBluez;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// RegisterAdvertisement calls the double refused (not other refusals such as an
// UnregisterAdvertisement answered DoesNotExist, which the binding ignores).
long registrationsRefused(fakebluez::ThreadedDouble& fake) {
    const auto lines = fake.lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("refused ", 0) == 0; });
}

TEST_F(BeaconOnFakeBluez, RegistersWhatBlueZReadsBackOnceTheAdapterPowersOn) {
    ASSERT_TRUE(fake_->run("adapter add hci0 off"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(waitForLog(node, "status bluetooth-off")) << testing::PrintToString(node.lines());
    EXPECT_EQ(node.countLines("beacon "), 0u);

    ASSERT_TRUE(fake_->run("power hci0 on"));
    ASSERT_TRUE(waitForLog(node, "beacon KVQ-kitchen on")) << testing::PrintToString(node.lines());
    auto registered = fake_->waitForLine("registered ");
    ASSERT_TRUE(registered) << testing::PrintToString(fake_->lines());
    // UUIDs compare by value; the text's case is the binding's choice.
    EXPECT_THAT(lower(fake_->lines()[*registered]),
                HasSubstr("type=broadcast name=kvq-kitchen uuids=7e5b8a11-9c2f-4d6a-b1e4-0f3a7c91d2e8 adapter=hci0"));
    EXPECT_EQ(registrationsRefused(*fake_), 0) << testing::PrintToString(fake_->lines());
}

TEST_F(BeaconOnFakeBluez, RefusalsAreLoggedWithBlueZsMessage) {
    struct Case {
        const char* refuse;
        const char* node;
        const char* line;
    };
    const Case cases[] = {
        {"adv refuse failed", "failing", "beacon KVQ-failing refused: Failed to register advertisement"},
        {"adv refuse notpermitted", "crowded", "beacon KVQ-crowded refused: Maximum advertisements reached"},
    };
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    for (auto& c : cases) {
        ASSERT_TRUE(fake_->run(c.refuse));
        auto& node = startNode(c.node);
        EXPECT_TRUE(waitForLog(node, c.line)) << testing::PrintToString(node.lines());
        // Tried again with back-off; "on" once BlueZ takes it.
        ASSERT_TRUE(fake_->run("adv refuse off"));
        const std::string on = std::string("beacon KVQ-") + c.node + " on";
        EXPECT_TRUE(waitForLog(node, on)) << testing::PrintToString(node.lines());
        EXPECT_GT(*node.waitForLine(on), *node.waitForLine(c.line)) << "\"on\" before BlueZ took it";
        EXPECT_EQ(node.countLines(" refused: "), 1u);
        node.stop();
    }
}

// The bus carries only UTF-8: a node name that is not cannot go out as the beacon's name. The
// beacon is refused with a reason and the ear listens and uploads on (its body valid JSON).
TEST_F(BeaconOnFakeBluez, ANodeNameThatIsNotUtf8HasItsBeaconRefusedAndTheEarListensOn) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("hall\xff\xfe");
    ASSERT_TRUE(waitForLog(node, " refused: ")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(fake_->waitForLine("discovery start"));
    ASSERT_TRUE(fake_->run("advert C0:FF:EE:00:00:01 rssi=-55 name=Desk"));
    ASSERT_TRUE(waitForUploads([](auto& uploads) { return !test::recordsNamed(uploads, "Desk").empty(); }))
        << testing::PrintToString(node.lines());
    EXPECT_EQ(fake_->countLines("registered "), 0u);
    EXPECT_TRUE(node.running());
}

TEST_F(BeaconOnFakeBluez, AnAdapterWithoutTheAdvertisingManagerGivesNoOnLine) {
    ASSERT_TRUE(fake_->run("adapter add hci0 noadv"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(waitForLog(node, "status listening")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(fake_->waitForLine("discovery start"));
    // By the time an advert has made it into an upload, the beacon has long had its state.
    ASSERT_TRUE(fake_->run("advert C0:FF:EE:00:00:01 rssi=-55 name=Desk"));
    ASSERT_TRUE(waitForUploads([&](auto&) { return !records("kitchen").empty(); }))
        << testing::PrintToString(fake_->lines());
    EXPECT_EQ(node.countLines("beacon "), 0u) << testing::PrintToString(node.lines());
    EXPECT_EQ(fake_->countLines("registered "), 0u);
}

}  // namespace
}  // namespace brelo
