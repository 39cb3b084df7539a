#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "loopback_server.h"
#include "reporting/curl/curl_http_client.h"
#include "runtime/event_loop.h"

namespace brelo::reporting {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;
using ::testing::HasSubstr;

struct CurlEnvironment : ::testing::Environment {
    void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
    void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] auto* const curlEnvironment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

struct Outcome {
    int calls = 0;
    HttpResult result;
};

size_t openFileDescriptors() {
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

HttpRequest ingest(std::string baseUrl, std::string body = R"({"node":"n","devices":[]})") {
    return HttpRequest{.baseUrl = std::move(baseUrl),
                       .pathSegment = "ble/ingest",
                       .method = "POST",
                       .contentType = "application/json",
                       .body = std::move(body),
                       .timeoutS = 5.0};
}

class CurlHttpClientTest : public ::testing::Test {
protected:
    // Declaration order: the client goes first, closing its connections, then the server.
    LoopbackServer server;
    runtime::EventLoop loop;
    std::unique_ptr<CurlHttpClient> client = std::make_unique<CurlHttpClient>(loop);

    std::shared_ptr<Outcome> start(HttpRequest request) {
        auto outcome = std::make_shared<Outcome>();
        client->send(std::move(request), [outcome](const HttpResult& result) {
            ++outcome->calls;
            outcome->result = result;
        });
        return outcome;
    }

    // Sends one request and runs the loop until it completes.
    std::optional<HttpResult> upload(HttpRequest request, std::chrono::milliseconds timeout = 20s) {
        auto outcome = start(std::move(request));
        if (!loop.runUntil([&] { return outcome->calls > 0; }, timeout))
            return std::nullopt;
        EXPECT_EQ(outcome->calls, 1);
        return outcome->result;
    }
};

TEST_F(CurlHttpClientTest, AnsweredRequestReportsTheStatusAndNoError) {
    struct Case {
        int status;
        size_t responseBytes;
    };
    // The client reports every answer alike; which codes count as success is the caller's call.
    const Case cases[] = {{200, 0}, {204, 0}, {404, 0}, {500, 0}, {503, 0}, {200, 30u << 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " with " << c.responseBytes << " bytes");
        server.respond([c](const httplib::Request&, httplib::Response& response) {
            response.status = c.status;
            if (c.responseBytes == 0)
                return;
            response.set_content_provider(c.responseBytes, "application/octet-stream",
                                          [](size_t offset, size_t length, httplib::DataSink& sink) {
                                              static const std::string chunk(64 * 1024, 'x');
                                              (void)offset;
                                              return sink.write(chunk.data(), std::min(length, chunk.size()));
                                          });
        });
        std::optional<HttpResult> result = upload(ingest(server.url()));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->error, std::nullopt);
        EXPECT_TRUE(result->hasResponse);
        EXPECT_EQ(result->statusCode, c.status);
    }
}

// A server that takes the connection, reads part of the request and resets it: an error
// without a response, and the client goes on to the next request as before.
TEST_F(CurlHttpClientTest, ConnectionResetMidRequestIsAnErrorWithoutResponse) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::thread resetter([listener] {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0)
            return;
        char part[16];
        (void)!read(connection, part, sizeof part);
        linger reset{.l_onoff = 1, .l_linger = 0};  // close with RST, not FIN
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(connection);
    });
    std::optional<HttpResult> result =
        upload(ingest("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), std::string(256 * 1024, 'x')));
    resetter.join();
    close(listener);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->error.has_value());
    EXPECT_FALSE(result->hasResponse);
    EXPECT_EQ(result->statusCode, 0);
    result = upload(ingest(server.url()));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->statusCode, 200);
}

TEST_F(CurlHttpClientTest, RequestThatCannotStartCompletesLaterFromTheLoop) {
    for (const char* base : {"", "http://h:99999"}) {
        SCOPED_TRACE(base);
        auto outcome = start(ingest(base));
        EXPECT_EQ(outcome->calls, 0);  // not from inside send()
        ASSERT_TRUE(loop.runUntil([&] { return outcome->calls > 0; }, 10s));
        EXPECT_EQ(outcome->calls, 1);
        ASSERT_TRUE(outcome->result.error);
        EXPECT_FALSE(outcome->result.error->empty());
        EXPECT_FALSE(outcome->result.hasResponse);
    }
}

TEST_F(CurlHttpClientTest, UnansweredRequestTimesOutAfterFiveSecondsWhileTimersKeepFiring) {
    server.stall();
    size_t ticks = 0;
    auto timer = loop.repeating(2.0, [&] { ++ticks; });
    double started = loop.monotonicNow();
    std::optional<HttpResult> result = upload(ingest(server.url()));
    double elapsed = loop.monotonicNow() - started;
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->error);
    EXPECT_THAT(*result->error, HasSubstr("timed out"));
    EXPECT_FALSE(result->hasResponse);
    EXPECT_EQ(result->statusCode, 0);
    // A bound on behaviour, not a benchmark: generous on both sides of 5.0 s.
    EXPECT_GE(elapsed, 4.5);
    EXPECT_LE(elapsed, 8.0);
    // The loop was never blocked: the 2 s timer ticked at 2 s and 4 s meanwhile.
    EXPECT_GE(ticks, 2u);
}

TEST_F(CurlHttpClientTest, ServerReceivesThePostAsSent) {
    // With and without the scheme.
    const std::string bases[] = {server.url(), "127.0.0.1:" + std::to_string(server.port())};
    // Well past the size at which libcurl would ask "Expect: 100-continue".
    std::string body = R"({"node":"n","devices":[{"name":")" + std::string(2u << 20, 'a') + R"("}]})";
    for (const std::string& base : bases) {
        SCOPED_TRACE(base);
        size_t before = server.count();
        std::optional<HttpResult> result = upload(ingest(base, body));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->statusCode, 200);
        std::vector<test::ReceivedRequest> received = server.received();
        ASSERT_EQ(received.size(), before + 1);
        const test::ReceivedRequest& r = received.back();
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.target, "/ble/ingest");
        EXPECT_EQ(r.contentType, "application/json");
        EXPECT_FALSE(r.hasExpect);
        EXPECT_TRUE(r.body == body) << "body of " << r.body.size() << " bytes differs";
    }
}

TEST_F(CurlHttpClientTest, RedirectKeepsThePostExceptAfter303) {
    struct Case {
        int status;
        std::string method;  // as it reaches the new location
    };
    const Case cases[] = {{301, "POST"}, {302, "POST"}, {303, "GET"}, {307, "POST"}, {308, "POST"}};
    const std::string body = R"({"node":"n","devices":[]})";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        server.respond([c](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/moved") {
                response.status = 201;
                return;
            }
            response.status = c.status;
            response.set_header("Location", "/moved");
        });
        size_t before = server.count();
        std::optional<HttpResult> result = upload(ingest(server.url(), body));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->error, std::nullopt);
        EXPECT_EQ(result->statusCode, 201);
        std::vector<test::ReceivedRequest> received = server.received();
        ASSERT_EQ(received.size(), before + 2);
        EXPECT_EQ(received.back().path, "/moved");
        EXPECT_EQ(received.back().method, c.method);
        EXPECT_EQ(received.back().body, c.method == "POST" ? body : "");
    }
}

TEST_F(CurlHttpClientTest, ThreeUploadsInFlightEachCompleteOnce) {
    // Nothing is answered until all three are at the server: they must be in flight together.
    server.respond([this](const httplib::Request&, httplib::Response& response) {
        response.status = server.waitForArrivals(3, 10s) ? 200 : 500;
    });
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (int i = 0; i < 3; ++i)
        outcomes.push_back(start(ingest(server.url())));
    auto allDone = [&] {
        for (auto& o : outcomes)
            if (o->calls == 0)
                return false;
        return true;
    };
    ASSERT_TRUE(loop.runUntil(allDone, 20s));
    for (auto& o : outcomes) {
        EXPECT_EQ(o->calls, 1);
        EXPECT_EQ(o->result.error, std::nullopt);
        EXPECT_EQ(o->result.statusCode, 200);
    }
    EXPECT_EQ(server.count(), 3u);
}

TEST_F(CurlHttpClientTest, ThousandUploadsLeaveTheOpenFileDescriptorsAsTheyWere) {
    ASSERT_TRUE(upload(ingest(server.url())));  // a kept-alive connection on both sides, as at the end
    const size_t before = openFileDescriptors();
    constexpr int kUploads = 1000;
    int completed = 0;
    int failed = 0;
    std::function<void()> next = [&] {
        client->send(ingest(server.url()), [&](const HttpResult& result) {
            failed += result.error.has_value() || result.statusCode != 200;
            if (++completed < kUploads)
                next();
        });
    };
    next();
    ASSERT_TRUE(loop.runUntil([&] { return completed == kUploads; }, 300s)) << completed << " completed";
    const size_t after = openFileDescriptors();
    EXPECT_EQ(failed, 0);
    // Slack for connections that the server closed and the client has not yet noticed.
    EXPECT_LE(after, before + 4);
}

TEST_F(CurlHttpClientTest, DestroyingTheClientAbandonsTransfersWithoutCallingThem) {
    server.respond([this](const httplib::Request& request, httplib::Response& response) {
        if (request.path == "/slow/ble/ingest")
            server.waitForArrivals(1000, 60s);  // until the server stops
        response.status = 200;
    });
    auto slow = start(ingest(server.url() + "/slow"));
    ASSERT_TRUE(loop.runUntil([&] { return server.count() == 1; }, 10s));
    // A completion may destroy the client, here with the slow upload still in flight.
    auto fastCalls = std::make_shared<int>(0);
    client->send(ingest(server.url()), [this, fastCalls](const HttpResult&) {
        ++*fastCalls;
        client.reset();
    });
    ASSERT_TRUE(loop.runUntil([&] { return *fastCalls > 0; }, 10s));

    // Destroyed before the loop ever ran their transfers: a queued failure and a fresh upload.
    client = std::make_unique<CurlHttpClient>(loop);
    auto failed = start(ingest(""));
    auto fresh = start(ingest(server.url()));
    client.reset();

    loop.runUntil([] { return false; }, 300ms);
    EXPECT_EQ(*fastCalls, 1);
    EXPECT_EQ(slow->calls, 0);
    EXPECT_EQ(failed->calls, 0);
    EXPECT_EQ(fresh->calls, 0);
}

}  // namespace
}  // namespace brelo::reporting
