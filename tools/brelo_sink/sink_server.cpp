#include "sink_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <sstream>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "runtime/log_writer.h"
#include "body_validator.h"
#include "printable.h"

namespace brelo::sink {
namespace {

using Clock = AnswerPolicy::Clock;
using nlohmann::json;

// An ear gives up on an upload after 5 s; holding a request far longer than that is as good
// as never answering, and the bound keeps worker threads from piling up without end.
constexpr auto kHangMax = std::chrono::seconds(30);
// Worker threads: enough for every upload an ear makes while requests hang (one each 2 s).
constexpr size_t kWorkers = 48;
// 600 replayed records plus a busy batch stay far below this.
constexpr size_t kMaxBody = 16 * 1024 * 1024;
constexpr size_t kTableRows = 40;

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

// Request-level faults: the ear sends its JSON with that content type and without waiting
// for "100 Continue" (a wait that costs every large upload a round trip or a second).
std::vector<Fault> headerFaults(const httplib::Request& req) {
    std::vector<Fault> faults;
    std::string type = req.get_header_value("Content-Type");
    if (lower(trim(type.substr(0, type.find(';')))) != "application/json")
        faults.push_back({Fault::Kind::BadValue, "Content-Type header",
                          type.empty() ? std::string("is missing, expected application/json")
                                       : "is \"" + printable(type) + "\", expected application/json"});
    if (req.has_header("Expect"))
        faults.push_back({Fault::Kind::UnknownKey, "Expect header",
                          "is \"" + printable(req.get_header_value("Expect")) +
                              "\"; the body is sent at once, without waiting for 100 Continue"});
    return faults;
}

std::string stringAt(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

void say(const std::string& message) { writeAll(STDOUT_FILENO, formatLogLine(std::time(nullptr), "sink " + message)); }

SinkServer::SinkServer(Options options)
    : options_(std::move(options)),
      http_(std::make_unique<httplib::Server>()),
      policy_(options_.standing),
      known_(options_.tableCapacity) {
    auto start = Clock::now();
    if (options_.failForS > 0) {
        auto from = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.failAfterS));
        auto until = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.failForS));
        policy_.setWindow({.status = options_.failStatus}, from, until);
    }
    announced_ = policy_.current(start);
    if (!options_.jsonLogPath.empty()) {
        jsonLog_ = std::fopen(options_.jsonLogPath.c_str(), "ae");
        if (!jsonLog_)
            throw std::runtime_error("cannot open " + options_.jsonLogPath);
    }

    http_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    http_->set_payload_max_length(kMaxBody);
    http_->Post(R"(.*/ble/ingest)", [this](const httplib::Request& req, httplib::Response& res) { ingest(req, res); });
    http_->Post("/control", [this](const httplib::Request& req, httplib::Response& res) { control(req, res); });
    // Also as GET, so that a browser or a bare `curl URL` can flip it.
    http_->Get("/control", [this](const httplib::Request& req, httplib::Response& res) { control(req, res); });
    http_->Get("/table", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        res.set_content(known_.toJson().dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
    });
    http_->Get("/stats", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(statsJson(), "application/json");
    });
    auto elsewhere = [](const httplib::Request& req, httplib::Response& res) {
        say("404 " + req.method + " " + printable(req.path, 80) + " (uploads go to POST <base>/ble/ingest)");
        res.status = 404;
        res.set_content("brelo-sink takes uploads at POST <base>/ble/ingest\n", "text/plain");
    };
    http_->Post(".*", elsewhere);
    http_->Get(".*", elsewhere);
    http_->Put(".*", elsewhere);
    http_->Delete(".*", elsewhere);
}

SinkServer::~SinkServer() {
    stop();
    if (jsonLog_)
        std::fclose(jsonLog_);
}

int SinkServer::bind(const std::string& host, int port) {
    if (port == 0)
        return http_->bind_to_any_port(host);
    return http_->bind_to_port(host, port) ? port : -1;
}

bool SinkServer::serve() { return http_->listen_after_bind(); }

bool SinkServer::running() const { return http_->is_running(); }

void SinkServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (http_->is_running())
        http_->stop();
}

void SinkServer::ingest(const httplib::Request& req, httplib::Response& res) {
    std::vector<Fault> faults = headerFaults(req);
    CheckedBody checked = checkUploadText(req.body);
    faults.insert(faults.end(), checked.faults.begin(), checked.faults.end());
    if (!faults.empty()) {
        std::string all;
        for (const auto& f : faults)
            all += f.text() + "\n";
        res.status = 400;
        res.set_content(all, "text/plain");
        std::string node = checked.body && checked.body->is_object() ? stringAt(*checked.body, "node") : "";
        std::string line = "400 bad upload" + (node.empty() ? "" : " from '" + printable(node, 24) + "'") + " to " +
                           printable(req.path, 60) + ": " + printable(faults.front().text(), 400);
        if (faults.size() > 1)
            line += " (and " + std::to_string(faults.size() - 1) + " more fault" + (faults.size() > 2 ? "s" : "") + ")";
        std::lock_guard lock(mutex_);
        ++stats_.uploads;
        ++stats_.rejected;
        say(line);
        return;
    }

    const json& body = *checked.body;
    size_t devices = body["devices"].size();
    size_t replayed = replayedCount(body);
    std::string summary = stringAt(body, "status") + " devices=" + std::to_string(devices) +
                          " replayed=" + std::to_string(replayed) + " node=" + printable(stringAt(body, "node"), 24);
    if (body.contains("room"))
        summary += " room=" + printable(stringAt(body, "room"), 24);

    std::unique_lock lock(mutex_);
    ++stats_.uploads;
    Answer answer = policy_.current(Clock::now());
    if (answer.hang) {
        if (!options_.quiet)
            say("hang " + summary + " (holding it unanswered)");
        auto deadline = Clock::now() + kHangMax;
        changed_.wait_until(lock, deadline, [&] { return stopping_ || !policy_.current(Clock::now()).hang; });
        // A held upload is never taken in, even when the hang ends before the sender gives
        // up: it stands for a server that did not answer, and its records are the sender's
        // to send again.
        answer = Answer{.status = 503};
    }
    res.status = answer.status;
    bool ok = answer.status >= 200 && answer.status <= 299;
    if (!ok)
        res.set_content("brelo-sink answers " + std::to_string(answer.status) + " as told\n", "text/plain");
    if (ok) {
        known_.add(body);
        ++stats_.accepted;
        stats_.devices += devices;
        stats_.replayed += replayed;
        stats_.withDevices += devices > 0;
    } else {
        ++stats_.refused;
    }
    if (jsonLog_) {
        json entry = {{"received_at", wallSeconds()}, {"path", req.path}, {"answer", answer.status},
                      {"replayed", replayed},         {"body", body}};
        std::string text = entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        std::fwrite(text.data(), 1, text.size(), jsonLog_);
        std::fflush(jsonLog_);
    }
    if (!options_.quiet)
        say(std::to_string(answer.status) + " " + summary);
}

void SinkServer::printTable() {
    std::string table;
    {
        std::lock_guard lock(mutex_);
        table = known_.render(wallSeconds(), kTableRows);
    }
    // One write, so the table's lines never interleave with upload lines.
    writeAll(STDOUT_FILENO, formatLogLine(std::time(nullptr), "sink " + table.substr(0, table.find('\n'))) +
                                table.substr(table.find('\n') + 1));
}

std::string SinkServer::statsJson() {
    std::lock_guard lock(mutex_);
    json stats = {{"uploads", stats_.uploads},
                  {"accepted", stats_.accepted},
                  {"rejected", stats_.rejected},
                  {"refused", stats_.refused},
                  {"devices", stats_.devices},
                  {"replayed", stats_.replayed},
                  {"uploads_with_devices", stats_.withDevices},
                  {"known", known_.size()},
                  {"answer", policy_.current(Clock::now()).describe()}};
    return stats.dump();
}

}  // namespace brelo::sink
