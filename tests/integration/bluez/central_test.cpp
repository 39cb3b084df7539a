// brelo-ble's central side against fake-bluez: start-up, adverts into device records, and
// every BlueZ state change the binding must follow.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>
#include <sstream>
#include <string>

#include "program_fixture.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

using CentralOnFakeBluez = test::ProgramOnFakeBluez;

using test::countStatus;
using test::recordsNamed;

int64_t packets(const std::vector<json>& records) {
    int64_t n = 0;
    for (auto& r : records)
        n += r.value("packets", 0);
    return n;
}

// Each advert as one script line, then waits until the records carry all of them.
bool heard(test::ProgramOnFakeBluez& t, fakebluez::ThreadedDouble& fake, const std::string& name, int64_t expectedPackets,
           const std::string& adverts) {
    return fake.run(adverts) && t.waitForUploads([&](const std::vector<json>& uploads) {
        return packets(recordsNamed(uploads, name)) >= expectedPackets;
    });
}

TEST_F(CentralOnFakeBluez, AdvertsReachTheServerAsDeviceRecords) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(fake_->waitForLine("discovery start")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(heard(*this, *fake_, "Desk", 3,
                      "advert C0:FF:EE:00:00:01 rssi=-50 name=Desk tx=-12 "
                      "uuids=180F,7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8 mfg=1234:abcdef,0059:0102\n"
                      "advert C0:FF:EE:00:00:01 rssi=-70\n"
                      "advert C0:FF:EE:00:00:01 rssi=-60"))
        << testing::PrintToString(fake_->lines());

    std::vector<json> desk = recordsNamed(uploads("kitchen"), "Desk");
    ASSERT_FALSE(desk.empty());
    EXPECT_EQ(uploads("kitchen").front().value("room", ""), "hall");
    int64_t strongest = -200, weakest = 0;
    for (auto& r : desk) {
        strongest = std::max<int64_t>(strongest, r.value("max", -200));
        weakest = std::min<int64_t>(weakest, r.value("min", 0));
        EXPECT_EQ(r.value("id", ""), desk.front().value("id", ""));  // one device, one identifier
        // Every advert reports the device's current values, not only what changed in it.
        EXPECT_EQ(r.value("tx", 0), -12);
        EXPECT_EQ(r.value("mfg", ""), "59000102");  // the lowest company identifier's, low byte first
        EXPECT_EQ(r.value("services", json::array()), json::array({"180F", "7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8"}));
        EXPECT_FALSE(r.contains("listener"));
    }
    EXPECT_EQ(strongest, -50);
    EXPECT_EQ(weakest, -70);
    if (desk.size() == 1) {  // all three adverts in one flush window (the usual case)
        EXPECT_EQ(desk.front().value("rssi", 0), -60);
    }
}

TEST_F(CentralOnFakeBluez, AccessRefusedIsUnauthorizedAndNeedsPermissionAtTheCheckIn) {
    ASSERT_TRUE(fake_->run("adapter add hci0\ndeny on"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(waitForLog(node, "bluetooth state 3")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(waitForLog(node, "status needs-permission"));
    // Once at the change, again at the 10 s check-in (the authorization query says denied).
    EXPECT_TRUE(waitForUploads([](auto& uploads) { return countStatus(uploads, "needs-permission") >= 2; }, 20s))
        << testing::PrintToString(node.lines());
    EXPECT_EQ(fake_->countLines("discovery start"), 0u);
}

TEST_F(CentralOnFakeBluez, DiscoveryStoppedByBlueZIsStartedAgain) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(waitForLog(node, "status listening"));
    ASSERT_TRUE(fake_->waitForLine("discovery start"));

    ASSERT_TRUE(fake_->run("stop-discovery hci0"));
    ASSERT_TRUE(fake_->waitForCount("discovery start", 2)) << testing::PrintToString(fake_->lines());
    EXPECT_TRUE(heard(*this, *fake_, "Desk", 1, "advert C0:FF:EE:00:00:01 rssi=-55 name=Desk"));
    EXPECT_EQ(node.countLines("status listening"), 1u);
}

TEST_F(CentralOnFakeBluez, SignalsFromAProcessThatDoesNotOwnBluezChangeNothing) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(fake_->waitForLine("discovery start")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(heard(*this, *fake_, "Desk", 1, "advert C0:FF:EE:00:00:01 rssi=-50 name=Desk"));

    // The node's unique name and its advertisement's path, as the owner saw them.
    ASSERT_TRUE(fake_->waitForLine("registered "));
    std::istringstream registered(fake_->lines()[*fake_->waitForLine("registered ")]);
    std::string word, nodeName, advPath;
    registered >> word >> nodeName >> advPath;

    // Same object paths, other sender: a new device, and a rename plus readings of Desk,
    // broadcast and addressed to the node alone (which no match rule stops); then a Release.
    fakebluez::ThreadedDouble impostor(bus_->address(), true);
    ASSERT_TRUE(impostor.run("adapter add hci0\n"
                             "advert C0:FF:EE:00:00:01 rssi=-40 name=Desk\n"
                             "advert C0:FF:EE:00:00:09 rssi=-30 name=Intruder\n"
                             "advert C0:FF:EE:00:00:01 rssi=-30 name=Fake\n"
                             "advert C0:FF:EE:00:00:01 rssi=-31\n"
                             "to " + nodeName + " device hci0 C0:FF:EE:00:00:08 rssi=-20 name=Direct\n"
                             "call-release " + nodeName + " " + advPath));
    ASSERT_TRUE(impostor.waitForLine("release answered " + nodeName + " " + advPath +
                                     " org.freedesktop.DBus.Error.AccessDenied"))
        << testing::PrintToString(impostor.lines());
    // Two rounds through the real owner, a flush apart, so the impostor's signals (sent
    // before them) have certainly been seen by then.
    ASSERT_TRUE(heard(*this, *fake_, "Marker", 1, "advert C0:FF:EE:00:00:02 rssi=-60 name=Marker"));
    ASSERT_TRUE(heard(*this, *fake_, "Marker", 2, "advert C0:FF:EE:00:00:02 rssi=-60"));

    auto all = uploads("kitchen");
    EXPECT_EQ(packets(recordsNamed(all, "Desk")), 1);
    EXPECT_TRUE(recordsNamed(all, "Fake").empty());
    EXPECT_TRUE(recordsNamed(all, "Intruder").empty());
    EXPECT_TRUE(recordsNamed(all, "Direct").empty());
    // The impostor's adapter did not disturb the state either.
    EXPECT_EQ(node.countLines("status "), 1u) << testing::PrintToString(node.lines());
    EXPECT_EQ(fake_->countLines("registered "), 1u);
}

// The binding reads the bus in batches with short pauses between them: every advert still
// becomes a report, whether the daemon holds a burst for us or they come at a steady rate.
TEST_F(CentralOnFakeBluez, NoAdvertIsLostInABurstOrAtASteadyRate) {
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(fake_->waitForLine("discovery start")) << testing::PrintToString(node.lines());

    int64_t sent = 0;
    for (const std::string flood : {"flood 100000000 50 20000", "flood 2000 50 2000"}) {
        const size_t from = fake_->lines().size();
        fake_->send(flood);
        auto done = fake_->waitForLine("flood sent ", 60s, from);
        ASSERT_TRUE(done) << testing::PrintToString(fake_->lines());
        sent += std::stoll(fake_->lines()[*done].substr(std::string("flood sent ").size()));
        ASSERT_TRUE(waitForUploads([&](const std::vector<json>&) { return packets(records("kitchen")) >= sent; },
                                   60s))
            << flood << ": " << packets(records("kitchen")) << " of " << sent;
    }
    EXPECT_EQ(packets(records("kitchen")), sent);
    EXPECT_EQ(records("kitchen").front().value("name", "?"), "") << "BlueZ's alias is no name";
}

// The server refuses three uploads with devices, then takes them again: each refused upload's
// records reach it later, whole and in their order, ahead of newer ones.
TEST_F(CentralOnFakeBluez, RecordsOfRefusedUploadsComeAgainInOrderBeforeTheNewOnes) {
    // Shared with the server's threads, which answer the node until the fixture stops both.
    struct Answered {
        std::mutex mutex;
        std::vector<json> refused, taken;
    };
    auto answered = std::make_shared<Answered>();
    server_->respond([answered](const httplib::Request& request, httplib::Response& response) {
        json devices = json::parse(request.body, nullptr, false).value("devices", json::array());
        std::lock_guard lock(answered->mutex);
        const bool refuse = !devices.empty() && answered->refused.size() < 3;
        response.status = refuse ? 500 : 204;
        (refuse ? answered->refused : answered->taken).push_back(std::move(devices));
    });
    auto& refused = answered->refused;
    auto& taken = answered->taken;
    auto& mutex = answered->mutex;
    // Where this refused upload's records stand in a taken one: together, in order, and
    // before every record of a later window.
    auto replayed = [&](const json& lost) {
        for (const json& devices : taken) {
            auto at = std::search(devices.begin(), devices.end(), lost.begin(), lost.end());
            if (at != devices.end())
                return std::all_of(devices.begin(), at, [&](const json& r) { return r["ts"] <= lost.back()["ts"]; });
        }
        return false;
    };
    ASSERT_TRUE(fake_->run("adapter add hci0"));
    auto& node = startNode("kitchen");
    ASSERT_TRUE(fake_->waitForLine("discovery start")) << testing::PrintToString(node.lines());
    ASSERT_TRUE(fake_->run("every 0.1 advert C0:FF:EE:00:00:01 rssi=-55 name=Desk\n"
                           "every 0.1 advert C0:FF:EE:00:00:02 rssi=-65 name=Shelf"));
    EXPECT_TRUE(waitForUploads([&](auto&) {
        std::lock_guard lock(mutex);
        return refused.size() == 3 && std::all_of(refused.begin(), refused.end(), replayed);
    }, 30s)) << testing::PrintToString(node.lines());
    EXPECT_TRUE(waitForLog(node, "post failed: HTTP 500", 3)) << testing::PrintToString(node.lines());
}

}  // namespace
}  // namespace brelo
