#pragma once

// The listener as the program runs it (the sd-event loop, the wall clock, the libcurl client)
// with a radio of our own: a fake central manager that hears a fixed set of devices ten
// times a second. For faults of the server side, where BlueZ has no part to play.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listener/ear.h"
#include "reporting/curl/curl_http_client.h"
#include "reporting/http_client.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#include "support/ear_harness.h"
#include "support/fake_bluetooth.h"

namespace brelo::test {

// Passes requests on and keeps, for each, when it started and ended and how it ended.
class WatchedHttpClient final : public reporting::HttpClient {
public:
    struct Upload {
        double startedS = 0;  // monotonic
        std::optional<double> endedS;
        std::string body;
        reporting::HttpResult result;
    };

    explicit WatchedHttpClient(reporting::HttpClient& inner) : inner_(inner) {}

    void send(reporting::HttpRequest request, Completion completion) override;

    std::vector<Upload> uploads;
    size_t inFlight = 0;
    size_t maxInFlight = 0;
    size_t completed = 0;

private:
    reporting::HttpClient& inner_;
};

class InProcessNode {
public:
    // Devices are heard from the start, `devices` of them, each ten times a second.
    InProcessNode(const std::string& brelo, int devices);
    ~InProcessNode();

    // Runs the loop until pred holds or the timeout passes; true when it held.
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    // Runs the loop for this long.
    void runFor(std::chrono::milliseconds duration);
    // Stops or resumes hearing devices.
    void setHearing(bool on) { hearing_ = on; }

    LogCapture log;
    runtime::EventLoop loop;
    runtime::SystemClock clock;
    reporting::CurlHttpClient curl{loop};
    WatchedHttpClient http{curl};
    FakeBluetoothPlatform bluetooth;
    std::unique_ptr<listener::Ear> ear;

private:
    int devices_;
    bool hearing_ = true;
    std::unique_ptr<runtime::Timer> radio_;
};

// Process-wide set-up the program does in main(): libcurl initialised once, SIGPIPE ignored.
void prepareProcessForUploads();

}  // namespace brelo::test
