// The flush writes device records straight to JSON text and reads them back only when an
// upload fails. That text must be nlohmann's own dump, so a record reads the same on the
// wire whether it goes out at once or later from the replay queue.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reporting/json_text.h"

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

}  // namespace
}  // namespace brelo::test
