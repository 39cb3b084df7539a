#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "app/log_writer.h"
#include "app/settings.h"
#include "beacon/beacon.h"
#include "bluetooth/unsupported_platform.h"
#include "listener/ear.h"
#include "reporting/curl/url.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace {

// Uploads go nowhere until the HTTP client lands: each completes as a transport failure.
class NoHttpClient final : public brelo::reporting::HttpClient {
public:
    explicit NoHttpClient(brelo::runtime::EventLoop& loop) : loop_(loop) {}
    void send(brelo::reporting::HttpRequest, Completion completion) override {
        loop_.defer([completion = std::move(completion)] {
            completion({.error = "no HTTP client in this build", .hasResponse = false, .statusCode = 0});
        });
    }

private:
    brelo::runtime::EventLoop& loop_;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace brelo;
    // A peer closing a connection must not kill the process; curl reports it as an error.
    std::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 1;

    std::string defaultNode = nodeNameFromHostName(hostName());
    Settings settings = readCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                                        std::move(defaultNode));
    if (!reporting::urlParses(settings.brelo)) {
        log("bad --brelo");
        return 2;
    }
    log("brelo-ble 2.0 ear '" + settings.node + "' -> " + settings.brelo);

    try {
        runtime::EventLoop loop;
        runtime::SystemClock clock;
        NoHttpClient http(loop);
        bluetooth::UnsupportedPlatform bluetooth([&loop](std::function<void()> fn) { loop.defer(std::move(fn)); });

        listener::Ear ear(settings.brelo, settings.node,
                          {.bluetooth = bluetooth, .timers = loop, .clock = clock, .http = http, .room = settings.room});
        beacon::Beacon beacon(settings.node, bluetooth);
        loop.run();
    } catch (const std::exception& e) {
        log(std::string("cannot start: ") + e.what());
        return 1;
    }
    return 0;
}
