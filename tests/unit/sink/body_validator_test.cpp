#include "body_validator.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace brelo::sink {
namespace {

using nlohmann::json;
using Kind = Fault::Kind;

constexpr double kNow = 1796542824.25;

// A body as an ear sends it: one fresh record with every optional key, one plain record
// replayed from a flush two seconds earlier, and a room.
json goodBody() {
    return json::parse(R"({
      "node": "hall", "room": "hall", "status": "listening", "version": "2.0", "sent_at": 1796542824.25,
      "devices": [
        {"id": "3F2A7C10-9C2F-4D6A-B1E4-0F3A7C91D2E8", "rssi": -61, "p75": -58, "max": -50, "min": -77,
         "name": "KVQ-attic", "services": ["7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8", "180F"], "prefix": "0215",
         "packets": 9, "ts": 1796542824.25, "company": 76, "mfg": "4c000215aabb", "tx": -8, "listener": "attic"},
        {"id": "00000000-0000-0000-0000-00000000000A", "rssi": -90, "p75": -90, "max": -90, "min": -90,
         "name": "", "services": [], "prefix": "", "packets": 1, "ts": 1796542822.25}
      ]})");
}

TEST(BodyValidator, AcceptsWhatAnEarSends) {
    EXPECT_TRUE(checkUploadBody(goodBody()).empty());

    json statusReport = {{"node", ""}, {"devices", json::array()}, {"status", "needs-permission"},
                         {"sent_at", 1796542824}, {"version", "2.0"}};
    EXPECT_TRUE(checkUploadBody(statusReport).empty()) << "integer time, empty node, no room, no devices";
}

json& rec(json& body, int i) { return body["devices"][i]; }

// Each spoiled body is refused with the kind of fault and the key it names.
TEST(BodyValidator, NamesTheKeyAndTheFault) {
    struct Case {
        const char* name;
        std::function<void(json&)> spoil;
        Kind kind;
        std::string where;
    };
    for (const Case& c : std::vector<Case>{
             {"MissingNode", [](json& b) { b.erase("node"); }, Kind::MissingKey, "node"},
             {"MissingRecordTs", [](json& b) { rec(b, 1).erase("ts"); }, Kind::MissingKey, "devices[1].ts"},
             {"NullService", [](json& b) { rec(b, 0)["services"][1] = nullptr; }, Kind::Null,
              "devices[0].services[1]"},
             {"StringTs", [](json& b) { rec(b, 0)["ts"] = "1796542824.25"; }, Kind::WrongType, "devices[0].ts"},
             {"FloatRssi", [](json& b) { rec(b, 0)["rssi"] = -61.5; }, Kind::WrongType, "devices[0].rssi"},
             {"RecordNotObject", [](json& b) { b["devices"].push_back("x"); }, Kind::NotObject, "devices[2]"},
             {"UnknownRecordKey", [](json& b) { rec(b, 1)["address"] = "AA:BB"; }, Kind::UnknownKey,
              "devices[1].address"},
             {"LowerCaseId", [](json& b) { rec(b, 0)["id"] = "3f2a7c10-9c2f-4d6a-b1e4-0f3a7c91d2e8"; },
              Kind::BadValue, "devices[0].id"},
             {"BadStatusWord", [](json& b) { b["status"] = "Listening"; }, Kind::BadValue, "status"},
             {"OldVersion", [](json& b) { b["version"] = "1.0"; }, Kind::BadValue, "version"},
             {"EmptyRoom", [](json& b) { b["room"] = ""; }, Kind::BadValue, "room"},
             {"UpperCaseMfg", [](json& b) { rec(b, 0)["mfg"] = "4C00"; }, Kind::BadValue, "devices[0].mfg"},
             {"PrefixWithoutCompany", [](json& b) { rec(b, 1)["prefix"] = "0215"; }, Kind::BadValue,
              "devices[1].prefix"},
             {"FiguresOutOfOrder", [](json& b) { rec(b, 0)["min"] = -40; }, Kind::BadValue, "devices[0]"},
             {"RssiOutOfRange", [](json& b) { rec(b, 1)["rssi"] = -110; }, Kind::BadValue,
              "devices[1].rssi"},
             {"NoPackets", [](json& b) { rec(b, 1)["packets"] = 0; }, Kind::BadValue, "devices[1].packets"},
             {"ListenerWithoutKvqName", [](json& b) { rec(b, 0)["name"] = "attic"; }, Kind::BadValue,
              "devices[0].listener"},
             {"ReplayedTooOld", [](json& b) { rec(b, 1)["ts"] = kNow - 120.5; }, Kind::BadValue,
              "devices[1].ts"}}) {
        SCOPED_TRACE(c.name);
        json body = goodBody();
        c.spoil(body);
        auto faults = checkUploadBody(body);
        ASSERT_FALSE(faults.empty());
        bool found = false;
        for (const auto& f : faults)
            found = found || (f.kind == c.kind && f.where == c.where);
        EXPECT_TRUE(found) << "first fault: " << faults.front().text() << " (" << kindName(faults.front().kind) << ")";
        EXPECT_NE(faults.front().text().find(c.where), std::string::npos);
    }
}

}  // namespace
}  // namespace brelo::sink
