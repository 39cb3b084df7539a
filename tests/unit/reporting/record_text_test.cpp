// The flush writes device records straight to JSON text and reads them back only when an
// upload fails. These tests hold that text to nlohmann's own dump, so a record reads the
// same on the wire whether it goes out at once or later from the replay queue.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reporting/json_text.h"
#include "support/ear_harness.h"

namespace brelo::test {
namespace {

using Json = nlohmann::json;

std::string viaJsonText(const Json& value) {
    std::string out;
    reporting::JsonText writer(out);
    writer.value(value);
    return out;
}

TEST(JsonText, WritesWhatNlohmannDumps) {
    const std::vector<Json> values = {
        Json("plain"),
        Json(""),
        Json("quote \" backslash \\ slash /"),
        Json(std::string("tab\tnew\nline\x01\x1f end")),
        Json(std::string("\x7f delete")),
        Json("Küche ☕"),
        Json(std::string("bad \xff\xfe utf-8 \xc3")),
        Json(0),
        Json(-109),
        Json(std::numeric_limits<int64_t>::min()),
        Json(std::numeric_limits<uint64_t>::max()),
        Json(1.7e9),
        Json(1700000000.25),
        Json(-0.0),
        Json(1e300),
        Json(5e-324),
        Json(std::nan("")),
        Json(true),
        Json(nullptr),
        Json::array(),
        Json::object(),
        Json{{"b", 1}, {"a", {"x", std::string("y\xff")}}, {"c", {{"nested", 2.5}}}},
    };
    for (const Json& value : values) {
        const std::string expected = reporting::dumpReplacing(value);
        EXPECT_EQ(viaJsonText(value), expected);
    }
}

TEST(JsonText, RepeatedFloatsKeepTheirOwnDigits) {
    std::string out;
    reporting::JsonText writer(out);
    for (double x : {1.5, 1.5, -0.0, 0.0, 2.0, 1.5}) {
        writer.floating(x);
        writer.raw(' ');
    }
    EXPECT_EQ(out, "1.5 1.5 -0.0 0.0 2.0 1.5 ");
}

// A record that failed to go out is kept as an object equal to what was sent, and goes out
// again as the very same text.
TEST(DeviceRecordText, FailedRecordsReturnAsTheyWereSent) {
    EarHarness h;
    auto named = advert(1, -55);
    named.localName = std::string("Tag \"7\" \xff");
    named.manufacturerData = std::vector<uint8_t>{0x4C, 0x00, 0x10, 0x05, 0x01};
    named.txPowerLevel = -8;
    named.serviceUuids = std::vector<bluetooth::Uuid>{*bluetooth::Uuid::parse("FEAA")};
    h.hear(named);
    h.hear(advert(2, -80));
    h.hear(advert(2, -70));
    h.time.shiftWallClock(0.125);
    h.ear->flush();
    ASSERT_EQ(h.http.calls.size(), 1u);

    h.http.complete(0, FakeHttpClient::status(503));
    const Json sent = h.devices(0);
    ASSERT_EQ(h.ear->pending.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(h.ear->pending[i], sent[i]);
        EXPECT_TRUE(h.ear->pending[i]["ts"].is_number_float());
    }

    h.ear->send({}, "listening");
    ASSERT_EQ(h.http.calls.size(), 2u);
    auto devicesText = [&h](size_t call) {
        const std::string& body = h.http.calls.at(call).request.body;
        const size_t begin = body.find('[');
        const size_t end = body.find("],\"node\"");
        return body.substr(begin, end - begin);
    };
    EXPECT_EQ(devicesText(1), devicesText(0));
}

}  // namespace
}  // namespace brelo::test
