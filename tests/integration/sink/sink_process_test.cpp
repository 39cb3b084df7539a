// brelo-sink as a running program on loopback: what a sender sees, what it prints, what it logs.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace brelo::test {
namespace {

using nlohmann::json;

json body(double now, const std::string& status = "listening") {
    return {{"node", "hall"},
            {"status", status},
            {"version", "2.0"},
            {"sent_at", now},
            {"devices",
             {{{"id", "3F2A7C10-9C2F-4D6A-B1E4-0F3A7C91D2E8"},
               {"rssi", -61},
               {"p75", -58},
               {"max", -50},
               {"min", -77},
               {"name", "KVQ-attic"},
               {"listener", "attic"},
               {"services", {"7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8"}},
               {"prefix", ""},
               {"packets", 9},
               {"ts", now}}}}};
}

double now() { return static_cast<double>(std::time(nullptr)); }

class RunningSink : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/brelo-sink-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        logPath_ = dir_ + "/uploads.jsonl";
        sink_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            builtPath("tools/brelo_sink/brelo-sink"), "--listen", "127.0.0.1:0", "--json-log", logPath_});
        auto line = sink_->waitForLine("listening on http://127.0.0.1:", 20s);
        ASSERT_TRUE(line) << "the sink did not start";
        const std::string& text = sink_->lines()[*line];
        port_ = std::stoi(text.substr(text.find("127.0.0.1:") + 10));
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(10, 0);
    }

    void TearDown() override {
        client_.reset();
        sink_.reset();
        std::remove(logPath_.c_str());
        rmdir(dir_.c_str());
    }

    httplib::Result post(const std::string& path, const std::string& text) {
        return client_->Post(path.c_str(), text, "application/json");
    }

    std::vector<json> logged() {
        std::vector<json> entries;
        std::ifstream in(logPath_);
        for (std::string line; std::getline(in, line);)
            entries.push_back(json::parse(line));
        return entries;
    }

    std::string dir_;
    std::string logPath_;
    std::unique_ptr<ChildProcess> sink_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

TEST_F(RunningSink, AcceptsASoundUploadUnderAnyBasePathAndLogsIt) {
    auto res = post("/brelo/ble/ingest", body(now()).dump());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    EXPECT_TRUE(sink_->waitForLine("sink 204 listening devices=1 replayed=0 node=hall"));

    auto entries = logged();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["answer"], 204);
    EXPECT_EQ(entries[0]["path"], "/brelo/ble/ingest");
    EXPECT_EQ(entries[0]["body"]["devices"][0]["listener"], "attic");

    auto table = client_->Get("/table");
    ASSERT_TRUE(table);
    EXPECT_EQ(json::parse(table->body)["devices"][0]["listener"], "attic");
}

TEST_F(RunningSink, NamesWhatIsWrongWithABadBody) {
    json bad = body(now());
    bad["devices"][0]["rssi"] = "-61";
    bad["room"] = nullptr;
    auto res = post("/ble/ingest", bad.dump());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find("devices[0].rssi: has the wrong type: string"), std::string::npos) << res->body;
    EXPECT_NE(res->body.find("room: is null"), std::string::npos) << res->body;
    EXPECT_TRUE(sink_->waitForLine("sink 400 bad upload from 'hall' to /ble/ingest:"));

    auto wrongType = client_->Post("/ble/ingest", body(now()).dump(), "text/plain");
    ASSERT_TRUE(wrongType);
    EXPECT_EQ(wrongType->status, 400);
    EXPECT_NE(wrongType->body.find("Content-Type header"), std::string::npos) << wrongType->body;

    EXPECT_TRUE(logged().empty()) << "only sound uploads are logged";
}

TEST_F(RunningSink, AnswersAsToldAndRecovers) {
    auto told = client_->Post("/control?status=503&for=600", "", "text/plain");
    ASSERT_TRUE(told);
    EXPECT_EQ(told->status, 200);
    auto refused = post("/ble/ingest", body(now()).dump());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_TRUE(sink_->waitForLine("sink 503 listening devices=1"));

    // Held unanswered: the sender's own time-out ends the wait.
    sink_->writeStdin("hang\n");
    ASSERT_TRUE(sink_->waitForLine("sink holding uploads unanswered"));
    httplib::Client impatient("127.0.0.1", port_);
    impatient.set_read_timeout(1, 0);
    auto held = impatient.Post("/ble/ingest", body(now()).dump(), "application/json");
    EXPECT_FALSE(held);
    EXPECT_EQ(held.error(), httplib::Error::Read);

    sink_->writeStdin("reset\n");
    ASSERT_TRUE(sink_->waitForLine("sink answering 204"));
    auto ok = post("/ble/ingest", body(now()).dump());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 204);

    // The held upload is let go on its own worker thread; wait until it has been counted.
    json s;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    do {
        auto stats = client_->Get("/stats");
        ASSERT_TRUE(stats);
        s = json::parse(stats->body);
        if (s["refused"] != 2)
            std::this_thread::sleep_for(20ms);
    } while (s["refused"] != 2 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(s["refused"], 2) << "the 503 and the held upload, never taken in";
    EXPECT_EQ(s["accepted"], 1);
}

TEST_F(RunningSink, StopsCleanlyOnSigterm) {
    sink_->writeStdin("hang\n");
    ASSERT_TRUE(sink_->waitForLine("sink holding uploads unanswered"));
    httplib::Client impatient("127.0.0.1", port_);
    impatient.set_read_timeout(1, 0);
    EXPECT_FALSE(impatient.Post("/ble/ingest", body(now()).dump(), "application/json"));

    sink_->signal(SIGTERM);
    auto status = sink_->waitExit(20s);
    ASSERT_TRUE(status) << "a held request must not keep the sink from stopping";
    EXPECT_EQ(sink_->exitCode(), 0);
    EXPECT_EQ(sink_->countLines("sink stopped"), 1u);
}

}  // namespace
}  // namespace brelo::test
