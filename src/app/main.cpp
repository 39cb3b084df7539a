#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "runtime/log_writer.h"
#include "app/settings.h"
#include "beacon/beacon.h"
#include "bluetooth/bluez/bluez_platform.h"
#include "listener/ear.h"
#include "reporting/curl/curl_http_client.h"
#include "reporting/curl/url.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

int main(int argc, char** argv) {
    using namespace brelo;
    // A peer closing a connection must not kill the process; curl reports it as an error.
    std::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        log("cannot start: libcurl could not be initialised");
        return 1;
    }

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
        reporting::CurlHttpClient http(loop);
        bluetooth::bluez::BluezPlatform bluetooth(loop);

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
