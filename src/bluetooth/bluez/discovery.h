#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/uuid.h"
#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;
class BluezCentral;

// The one discovery session the central managers share on the adapter in use: the
// discovery filter, StartDiscovery and its retries, and the stop when no manager scans.
class Discovery {
public:
    explicit Discovery(BluezBinding& binding);

    void request(BluezCentral& central, const std::optional<std::vector<Uuid>>& services);
    void stop(BluezCentral& central);
    // requested: a scan request or a restart, which sets the filter and starts discovery even
    // when it is already running (the filter may have changed; InProgress is harmless).
    // Otherwise discovery is only started when it is not running and no retry is pending.
    void ensure(bool requested);
    // Starts what waited for an advertisement's registration.
    void ensureHeldBack() { ensure(std::exchange(again_, false)); }
    // Stop, then filter and start: the kernel begins a new scan with an empty duplicate list,
    // and BlueZ forgets its temporary devices.
    void restart();
    // Sends the filter (the merged wishes of the scanning managers), then starts discovery.
    void sendFilter();
    // Discovering fell on the adapter in use.
    void stopped();
    void poweredOff() { active_ = false; }
    // A new owner or adapter, or no scan wanted: nothing of the session carries over.
    void reset();

    bool active() const { return active_; }
    bool calling() const { return call_ != nullptr; }
    // BlueZ is there with a powered adapter in use.
    bool possible() const;
    // An advertisement arrived: a failing discovery is tried again at once next time.
    void heard() { backoffS_ = 0; }

private:
    void retryIfPossible();
    static int onFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStart(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onStop(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    BluezBinding& binding_;
    bool active_ = false;  // our StartDiscovery succeeded and Discovering has not fallen since
    bool again_ = false;   // a request came while a call was in flight
    double backoffS_ = 0;
    SlotPtr call_;
    runtime::Alarm alarm_;
};

}  // namespace brelo::bluetooth::bluez
