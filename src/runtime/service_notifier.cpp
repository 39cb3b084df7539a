#include "runtime/service_notifier.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <systemd/sd-daemon.h>

namespace brelo::runtime {

ServiceNotifier::ServiceNotifier(EventLoop& loop) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    // Positive only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdogIntervalS_ = static_cast<double>(usec) / 2e6;
        watchdog_ = loop.repeating(*watchdogIntervalS_, [this] { notify("WATCHDOG=1"); });
    }
}

ServiceNotifier::~ServiceNotifier() = default;

void ServiceNotifier::ready() { notify("READY=1"); }

void ServiceNotifier::status(std::string_view line) {
    if (!enabled_)
        return;
    std::string state = "STATUS=";
    state.append(line);
    std::replace(state.begin(), state.end(), '\n', ' ');
    notify(state);
}

void ServiceNotifier::stopping() { notify("STOPPING=1"); }

void ServiceNotifier::notify(std::string_view state) {
    if (!enabled_)
        return;
    // A datagram that cannot be sent is not worth stopping for: systemd sees the missing
    // readiness or watchdog ping and acts on that.
    sd_notify(0, std::string(state).c_str());
}

}  // namespace brelo::runtime
