#include <gtest/gtest.h>

#include "support/ear_harness.h"

namespace brelo::test {
namespace {

using Json = nlohmann::json;

// Hears each identifier once and flushes: one upload whose records are those identifiers.
void uploadOf(EarHarness& h, uint32_t first, uint32_t count) {
    for (uint32_t n = first; n < first + count; ++n)
        h.hear(advert(n));
    h.ear->flush();
}

TEST(EarUpload, RequestAndBody) {
    for (std::string room : {"", "kitchen"}) {
        EarHarness h(room);
        h.time.shiftWallClock(0.25);
        h.ear->send({}, "starting");
        ASSERT_EQ(h.http.calls.size(), 1u);
        EXPECT_EQ(h.http.calls[0].request.baseUrl, "http://127.0.0.1:8791");
        EXPECT_EQ(h.ear->uploader().lastSent(), 1.7e9 + 0.25);

        Json expected = {{"node", "hall"}, {"devices", Json::array()}, {"status", "starting"},
                         {"sent_at", 1.7e9 + 0.25}, {"version", "2.0"}};
        if (!room.empty())
            expected["room"] = room;
        EXPECT_EQ(h.body(0), expected);
        EXPECT_TRUE(h.body(0)["sent_at"].is_number_float());
    }
}

TEST(EarUpload, OnlyNoErrorAnd2xxIsSuccess) {
    struct Case {
        const char* error;  // nullptr: the transfer reported none
        bool hasResponse;
        long code;
        std::string line;  // empty: success
    };
    const std::vector<Case> table = {
        {nullptr, true, 200, ""},
        {nullptr, true, 299, ""},
        {nullptr, true, 199, "post failed: HTTP 199 - keeping 2 readings for the next try"},
        {nullptr, true, 300, "post failed: HTTP 300 - keeping 2 readings for the next try"},
        {nullptr, false, 0, "post failed: HTTP 0 - keeping 2 readings for the next try"},
        {"Couldn't connect to server", false, 0,
         "post failed: Couldn't connect to server - keeping 2 readings for the next try"},
        {"Recv failure", true, 200, "post failed: Recv failure - keeping 2 readings for the next try"},
    };
    for (const auto& c : table) {
        EarHarness h;
        uploadOf(h, 1, 2);
        h.log.lines.clear();
        reporting::HttpResult result;
        if (c.error)
            result.error = c.error;
        result.hasResponse = c.hasResponse;
        result.statusCode = c.code;
        h.http.complete(0, result);
        EXPECT_EQ(h.log.lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        // What failed goes out again with the next upload, as it was.
        h.ear->send({}, "listening");
        EXPECT_EQ(h.devices(1), c.line.empty() ? Json::array() : h.devices(0)) << c.code;
    }
}

// A planned stop whose window heard nothing still sends what waits from failed uploads, and
// is done once that upload is answered.
TEST(EarUpload, AStopWithAnEmptyWindowSendsTheWaitingRecords) {
    EarHarness h;
    uploadOf(h, 1, 2);
    h.http.complete(0, FakeHttpClient::status(503));
    bool done = false;
    h.ear->stop(2.0, [&] { done = true; });
    ASSERT_EQ(h.http.calls.size(), 2u);
    EXPECT_EQ(h.devices(1), h.devices(0));
    EXPECT_FALSE(done);
    h.http.complete(1, FakeHttpClient::status(200));
    EXPECT_TRUE(done);
    EXPECT_EQ(h.ear->uploader().recordsUndelivered(), 0u);
}

TEST(EarUpload, CompletionAfterTheEarIsGoneOnlyLogs) {
    EarHarness h;
    uploadOf(h, 1, 3);
    h.ear.reset();
    h.log.lines.clear();
    h.http.complete(0, FakeHttpClient::status(502));
    EXPECT_EQ(h.log.lines, std::vector<std::string>{"post failed: HTTP 502 - keeping 3 readings for the next try"});
}

}  // namespace
}  // namespace brelo::test
