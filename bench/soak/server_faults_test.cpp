// The listener against a server that misbehaves: it hangs, answers 500 or 503 for a while,
// resets connections half-way through a request, or answers with 30 MiB. The listener runs
// as the program runs it (sd-event loop, wall clock, libcurl) and hears twelve devices.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "body_validator.h"
#include "in_process_node.h"
#include "loopback_server.h"
#include "raw_server.h"
#include "reliability_support.h"

namespace brelo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> failureLines(const InProcessNode& node) {
    std::vector<std::string> out;
    for (const auto& line : node.log.lines)
        if (line.rfind("post failed: ", 0) == 0)
            out.push_back(line);
    return out;
}

TEST(ServerFaults, HangingServerHasAtMostThreeUploadsInFlightEachFailingAtFiveSecondsWhileTimersKeepTime) {
    LoopbackServer server;
    server.stall();
    InProcessNode node(server.url(), 3);
    ASSERT_TRUE(node.runUntil([&] { return node.http.completed >= 4; }, 40s));

    // A flush every 2 s and a time-out of 5 s: the uploads of three flushes overlap, never four.
    EXPECT_LE(node.http.maxInFlight, 3u);
    EXPECT_GE(node.http.maxInFlight, 2u);
    const auto& uploads = node.http.uploads;
    for (size_t i = 0; i < uploads.size(); ++i) {
        if (i > 0) {
            // Each upload comes from a flush tick; a hung server must not push the ticks back.
            const double gap = uploads[i].startedS - uploads[i - 1].startedS;
            EXPECT_GT(gap, 1.0) << "upload " << i;
            EXPECT_LT(gap, 3.0) << "upload " << i;
        }
        if (!uploads[i].endedS)
            continue;
        const double took = *uploads[i].endedS - uploads[i].startedS;
        EXPECT_GE(took, 4.9) << "upload " << i;
        EXPECT_LT(took, 7.0) << "upload " << i;
        EXPECT_TRUE(uploads[i].result.error.has_value());
        EXPECT_FALSE(uploads[i].result.hasResponse);
    }
    const auto failures = failureLines(node);
    ASSERT_EQ(failures.size(), node.http.completed);
    for (const auto& line : failures)
        EXPECT_THAT(line, HasSubstr("timed out"));
    figure("hang.max_in_flight", std::to_string(node.http.maxInFlight));
}

TEST(ServerFaults, ConnectionsResetMidRequestFailAndTheirRecordsGoOutOnceTheServerAnswers) {
    RawServer server(RawServer::Mode::ResetMidRequest);
    InProcessNode node("http://127.0.0.1:" + std::to_string(server.port()), 3);
    ASSERT_TRUE(node.runUntil([&] { return node.http.completed >= 3; }, 30s));
    EXPECT_GE(server.resets(), 3u);
    for (size_t i = 0; i < node.http.completed; ++i) {
        EXPECT_TRUE(node.http.uploads[i].result.error.has_value()) << "upload " << i;
        EXPECT_FALSE(node.http.uploads[i].result.hasResponse) << "upload " << i;
    }
    for (const auto& line : failureLines(node))
        EXPECT_THAT(line, Not(HasSubstr("post failed: HTTP ")));

    server.setMode(RawServer::Mode::Answer204);
    const size_t from = node.http.uploads.size();
    auto answered = [&] {
        for (size_t i = from; i < node.http.uploads.size(); ++i)
            if (node.http.uploads[i].result.statusCode == 204)
                return true;
        return false;
    };
    ASSERT_TRUE(node.runUntil(answered, 20s));
    // The first upload the server takes carries what the reset ones could not deliver.
    for (size_t i = from; i < node.http.uploads.size(); ++i) {
        if (node.http.uploads[i].result.statusCode != 204)
            continue;
        json body = json::parse(node.http.uploads[i].body);
        EXPECT_GT(body["devices"].size(), 3u);
        break;
    }
}

TEST(ServerFaults, ThirtyMebibyteAnswerSucceedsAndIsNeverHeldInMemory) {
    constexpr size_t kAnswerBytes = 30u << 20;
    LoopbackServer server;
    server.respond([](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        response.set_content_provider(kAnswerBytes, "application/octet-stream",
                                      [](size_t, size_t length, httplib::DataSink& sink) {
                                          static const std::string chunk(64 * 1024, 'x');
                                          return sink.write(chunk.data(), std::min(length, chunk.size()));
                                      });
    });
    InProcessNode node(server.url(), 3);
    ASSERT_TRUE(node.runUntil([&] { return node.http.completed >= 1; }, 20s));
    const bool peakReset = resetPeakRss();
    const long before = rssKiB();
    ASSERT_TRUE(node.runUntil([&] { return node.http.completed >= 4; }, 30s));
    const long peak = peakRssKiB();

    for (size_t i = 0; i < node.http.completed; ++i) {
        EXPECT_FALSE(node.http.uploads[i].result.error.has_value()) << *node.http.uploads[i].result.error;
        EXPECT_EQ(node.http.uploads[i].result.statusCode, 200);
    }
    EXPECT_TRUE(failureLines(node).empty());
    figure("answer_30MiB.peak_rss_growth_KiB", std::to_string(peak - before));
    if (peakReset && !addressSanitized()) {
        EXPECT_LT(peak - before, 15 * 1024) << "the answer's body was kept in memory";
    }
}

// What the server saw of one upload, and what it answered.
struct Seen {
    json body;
    int answer;
};

using RecordKey = std::pair<std::string, double>;  // id and ts: one record of one flush

RecordKey keyOf(const json& record) { return {record.at("id").get<std::string>(), record.at("ts").get<double>()}; }

struct Outage {
    int seconds;
    int status;
    bool long_;
};

void PrintTo(const Outage& o, std::ostream* out) { *out << o.seconds << " s of HTTP " << o.status; }

class ServerOutage : public ::testing::TestWithParam<Outage> {};

// The server answers an error for a while, then comes back. At the first upload it takes,
// the records of the failed uploads reach it as the bounds say: those at most 120 s old,
// of the newest 600, in their order; the rest are dropped and counted.
TEST_P(ServerOutage, RecordsWithinTheBoundsReachTheServerInOrderAfterRecovery) {
    const Outage outage = GetParam();
    if (outage.long_ && !longTests())
        GTEST_SKIP() << "a long outage; set BRELO_LONG_TESTS=1 to run it";
    std::mutex mutex;
    std::vector<Seen> seen;
    std::atomic<int> answer{204};
    LoopbackServer server;
    server.respond([&](const httplib::Request& request, httplib::Response& response) {
        const int status = answer;
        {
            std::lock_guard lock(mutex);
            seen.push_back({json::parse(request.body, nullptr, false), status});
        }
        response.status = status;
    });
    auto answered = [&](int status, size_t from) {
        std::lock_guard lock(mutex);
        for (size_t i = from; i < seen.size(); ++i)
            if (seen[i].answer == status && !seen[i].body["devices"].empty())
                return true;
        return false;
    };
    auto count = [&] {
        std::lock_guard lock(mutex);
        return seen.size();
    };

    // Twelve devices: 6 records a second, so 120 s of them are more than the 600 kept.
    InProcessNode node(server.url(), 12);
    ASSERT_TRUE(node.runUntil([&] { return answered(204, 0); }, 20s));
    answer = outage.status;
    const size_t outageFrom = count();
    const double end = monotonicS() + outage.seconds;
    node.runUntil([&] { return monotonicS() >= end; }, std::chrono::seconds(outage.seconds + 5));
    answer = 204;
    ASSERT_TRUE(node.runUntil([&] { return answered(204, outageFrom); }, 20s));

    std::lock_guard lock(mutex);
    // Every upload was well formed, failed or not.
    for (size_t i = 0; i < seen.size(); ++i) {
        auto faults = sink::checkUploadBody(seen[i].body);
        EXPECT_TRUE(faults.empty()) << "upload " << i << ": " << faults.front().text();
    }
    // The server answered every upload before the next flush: each upload found the queue
    // as the previous failure left it.
    for (size_t i = 1; i < node.http.uploads.size(); ++i) {
        if (node.http.uploads[i - 1].endedS) {
            ASSERT_LT(*node.http.uploads[i - 1].endedS, node.http.uploads[i].startedS);
        }
    }

    size_t recovery = outageFrom;
    while (seen[recovery].answer != 204)
        ++recovery;
    ASSERT_GT(recovery, outageFrom) << "no upload failed";
    const json& last = seen[recovery - 1].body["devices"];  // the last failed upload
    const json& first = seen[recovery].body["devices"];     // the first one taken after it
    const double sentAt = seen[recovery].body["sent_at"].get<double>();

    // What must come again: the last failed upload's records, cut to the newest 600, less
    // those more than 120 s old when the recovery upload started.
    std::vector<json> expected;
    const size_t keepFrom = last.size() > 600 ? last.size() - 600 : 0;
    for (size_t i = keepFrom; i < last.size(); ++i)
        if (sentAt - last[i]["ts"].get<double>() <= 120.0)
            expected.push_back(last[i]);
    ASSERT_GE(first.size(), expected.size());
    size_t lostWithinBounds = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        lostWithinBounds += first[i] != expected[i];
    EXPECT_EQ(lostWithinBounds, 0u) << "records within the bounds missing or out of order";
    // After them only the recovery flush's own records, one per device.
    EXPECT_EQ(first.size() - expected.size(), 12u);

    // The account of the outage.
    std::set<RecordKey> failed;
    std::set<RecordKey> delivered;
    for (size_t i = 0; i < seen.size(); ++i)
        for (const json& record : seen[i].body["devices"])
            (seen[i].answer == 204 ? delivered : failed).insert(keyOf(record));
    size_t droppedByAge = 0;
    size_t droppedByCap = 0;
    for (const RecordKey& key : failed) {
        if (delivered.count(key))
            continue;
        if (sentAt - key.second > 120.0)
            ++droppedByAge;
        else
            ++droppedByCap;
    }
    const size_t failedUploads = recovery - outageFrom;
    EXPECT_GE(failedUploads, static_cast<size_t>(outage.seconds / 2 - 1));
    if (outage.seconds < 100) {
        EXPECT_EQ(droppedByAge + droppedByCap, 0u);
    }
    if (outage.seconds > 125) {
        EXPECT_GT(droppedByAge, 0u);
    }
    const std::string name = "outage_" + std::to_string(outage.seconds) + "s_" + std::to_string(outage.status);
    figure(name + ".failed_uploads", std::to_string(failedUploads));
    figure(name + ".records_failed", std::to_string(failed.size()));
    figure(name + ".replayed_at_recovery", std::to_string(expected.size()));
    figure(name + ".dropped_by_age", std::to_string(droppedByAge));
    figure(name + ".dropped_by_cap", std::to_string(droppedByCap));
    figure(name + ".lost_within_bounds", std::to_string(lostWithinBounds));
}

INSTANTIATE_TEST_SUITE_P(Short, ServerOutage, ::testing::Values(Outage{10, 500, false}),
                         [](const auto& info) { return "Outage" + std::to_string(info.param.seconds) + "s"; });
INSTANTIATE_TEST_SUITE_P(Long, ServerOutage,
                         ::testing::Values(Outage{60, 503, true}, Outage{119, 500, true}, Outage{180, 503, true}),
                         [](const auto& info) { return "Outage" + std::to_string(info.param.seconds) + "s"; });

// Uploads one after another through the listener: afterwards the process holds the same
// file descriptors and (outside AddressSanitizer's quarantine) the same memory.
TEST(ServerFaults, ManyUploadsLeaveFileDescriptorsAndMemoryWhereTheyWere) {
    const size_t n = scaled(1000, 10000);
    // A server that keeps nothing of what it receives, unlike LoopbackServer.
    RawServer server(RawServer::Mode::Answer204);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port());
    prepareProcessForUploads();
    runtime::EventLoop loop;
    runtime::SystemClock clock;
    reporting::CurlHttpClient curl(loop);
    FakeBluetoothPlatform bluetooth;
    struct Counting final : reporting::HttpClient {
        explicit Counting(reporting::HttpClient& inner) : inner(inner) {}
        void send(reporting::HttpRequest request, Completion completion) override {
            ++sent;
            inner.send(std::move(request), [this, completion = std::move(completion)](const reporting::HttpResult& r) {
                ++done;
                failed += !(r.hasResponse && r.statusCode == 204);
                completion(r);
            });
        }
        reporting::HttpClient& inner;
        size_t sent = 0, done = 0, failed = 0;
    } http(curl);
    listener::Ear ear(url, "leaks",
                      {.bluetooth = bluetooth, .timers = loop, .clock = clock, .http = http, .room = ""});
    auto upload = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            std::vector<listener::DeviceRecord> devices;
            for (int d = 0; d < 3; ++d)
                devices.push_back({{"id", advert(static_cast<uint32_t>(d)).identifier.canonical()},
                                   {"rssi", -60}, {"p75", -55}, {"max", -50}, {"min", -70},
                                   {"name", "Desk"}, {"services", json::array()}, {"prefix", ""},
                                   {"packets", 4}, {"ts", clock.now()}});
            ear.send(std::move(devices), "listening");
            if (!loop.runUntil([&] { return http.done == http.sent; }, 10s))
                return false;
        }
        // The server closes its end on its own thread, just after the answer reached us:
        // its sockets are in this process too, so wait for them before counting.
        for (const double until = monotonicS() + 10; !server.idle(); std::this_thread::sleep_for(1ms))
            if (monotonicS() > until)
                return false;
        return true;
    };
    ASSERT_TRUE(upload(100));  // connections, caches and the allocator settle
    const size_t fdsBefore = openFds();
    const long rssBefore = rssKiB();
    ASSERT_TRUE(upload(n));
    const size_t fdsAfter = openFds();
    const long rssAfter = rssKiB();
    EXPECT_EQ(http.failed, 0u);
    EXPECT_EQ(fdsAfter, fdsBefore);
    figure("uploads_" + std::to_string(n) + ".fd_change",
           std::to_string(static_cast<long>(fdsAfter) - static_cast<long>(fdsBefore)));
    figure("uploads_" + std::to_string(n) + ".rss_change_KiB", std::to_string(rssAfter - rssBefore));
    if (!addressSanitized()) {
        EXPECT_LT(rssAfter - rssBefore, 4 * 1024);
    }
}

}  // namespace
}  // namespace brelo::test
