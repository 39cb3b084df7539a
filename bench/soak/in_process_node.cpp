#include "in_process_node.h"

#include <csignal>
#include <mutex>

#include <curl/curl.h>

#include "reliability_support.h"

namespace brelo::test {

void WatchedHttpClient::send(reporting::HttpRequest request, Completion completion) {
    const size_t index = uploads.size();
    uploads.push_back({.startedS = monotonicS(), .endedS = std::nullopt, .body = request.body, .result = {}});
    maxInFlight = std::max(maxInFlight, ++inFlight);
    inner_.send(std::move(request), [this, index, completion = std::move(completion)](const reporting::HttpResult& r) {
        uploads[index].endedS = monotonicS();
        uploads[index].result = r;
        --inFlight;
        ++completed;
        completion(r);
    });
}

void prepareProcessForUploads() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

InProcessNode::InProcessNode(const std::string& brelo, int devices) : devices_(devices) {
    prepareProcessForUploads();
    ear = std::make_unique<listener::Ear>(
        brelo, "reliability",
        listener::EarEnvironment{.bluetooth = bluetooth, .timers = loop, .clock = clock, .http = http, .room = "lab"});
    bluetooth.centrals().at(0)->report(bluetooth::kStatePoweredOn);
    bluetooth.centrals().at(1)->report(bluetooth::kStatePoweredOn);
    radio_ = loop.repeating(0.1, [this] {
        if (!hearing_)
            return;
        for (int i = 0; i < devices_; ++i)
            bluetooth.centrals().at(0)->discover(advert(static_cast<uint32_t>(i + 1), -50 - i % 50));
    });
}

InProcessNode::~InProcessNode() {
    radio_.reset();
    ear.reset();
}

bool InProcessNode::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return loop.runUntil(pred, timeout);
}

void InProcessNode::runFor(std::chrono::milliseconds duration) {
    loop.runUntil([] { return false; }, duration);
}

}  // namespace brelo::test
