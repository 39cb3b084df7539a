#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <malloc.h>

#include "app/graceful_stop.h"
#include "app/settings.h"
#include "app/status_line.h"
#include "beacon/beacon.h"
#include "bluetooth/bluez/bluez_platform.h"
#include "listener/ear.h"
#include "reporting/curl/curl_http_client.h"
#include "reporting/curl/url.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#include "runtime/log_writer.h"
#include "runtime/service_notifier.h"
#include "runtime/stop_signals.h"

int main(int argc, char** argv) {
    using namespace brelo;
    // A peer closing a connection must not kill the process; curl reports it as an error.
    std::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        log("cannot start: libcurl could not be initialised", LogPriority::error);
        return 1;
    }

    std::string defaultNode = nodeNameFromHostName(hostName());
    Settings settings = readCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                                        std::move(defaultNode));
    if (!reporting::urlParses(settings.brelo)) {
        log("bad --brelo", LogPriority::error);
        return 2;
    }
    log("brelo-ble 2.0 ear '" + settings.node + "' -> " + settings.brelo);

    try {
        runtime::EventLoop loop;
        // Before the HTTP client can start a resolver thread: the stop signals are blocked
        // process-wide and read from the loop.
        std::unique_ptr<GracefulStop> stop;
        runtime::StopSignals signals(loop, [&stop](int signal) { stop->begin(signal); });
        runtime::ServiceNotifier notifier(loop);
        runtime::SystemClock clock;
        reporting::CurlHttpClient http(loop);
        bluetooth::bluez::BluezPlatform bluetooth(loop);

        listener::Ear ear(settings.brelo, settings.node,
                          {.bluetooth = bluetooth, .timers = loop, .clock = clock, .http = http, .room = settings.room});
        beacon::Beacon beacon(settings.node, bluetooth);
        stop = std::make_unique<GracefulStop>(loop, ear, beacon, notifier);

        // Each window's batch, record texts and upload body are freed within the next window,
        // but glibc keeps freed heap pages that are not at its top, so a busy minute would
        // leave the process at its high-water mark for good. Hand them back once a window.
        auto trim = loop.repeating(listener::Ear::flushIntervalS, [] { malloc_trim(0); });

        // What `systemctl status` shows, once per flush but half a window after it, when the
        // flush's upload has usually been answered; only built when systemd listens.
        std::unique_ptr<runtime::Timer> statusStart;
        std::unique_ptr<runtime::Timer> statusTimer;
        if (notifier.enabled()) {
            auto refresh = [&] { notifier.status(statusLine(ear.summary(), clock.now(), bluetooth.radioNote())); };
            statusStart = loop.after(listener::Ear::flushIntervalS / 2, [&, refresh] {
                statusTimer = loop.repeating(listener::Ear::flushIntervalS, refresh);
            });
            // Ready once the loop turns, with the managers made.
            loop.defer([&notifier, refresh] {
                refresh();
                notifier.ready();
            });
        }
        return loop.run();
    } catch (const std::exception& e) {
        log(std::string("cannot start: ") + e.what(), LogPriority::error);
        return 1;
    }
    return 0;
}
