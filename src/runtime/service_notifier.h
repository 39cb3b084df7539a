#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "runtime/event_loop.h"

namespace brelo::runtime {

// Tells systemd how the service is doing when it started us as Type=notify (NOTIFY_SOCKET
// set); does nothing otherwise. With WatchdogSec= in the unit, pings the watchdog from a
// timer on the loop at half the interval, so a loop that stops turning gets the process
// killed and restarted.
class ServiceNotifier {
public:
    explicit ServiceNotifier(EventLoop& loop);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // systemd listens: worth building a status line for.
    bool enabled() const { return enabled_; }
    void ready();
    // One human line for `systemctl status`; line feeds become blanks.
    void status(std::string_view line);
    void stopping();
    // How often the watchdog is pinged: half of WATCHDOG_USEC, so that one late turn of the
    // loop is not yet a missed ping. None when systemd set no watchdog for this process.
    std::optional<double> watchdogIntervalS() const { return watchdogIntervalS_; }

private:
    void notify(std::string_view state);

    bool enabled_ = false;
    std::optional<double> watchdogIntervalS_;
    std::unique_ptr<Timer> watchdog_;
};

}  // namespace brelo::runtime
