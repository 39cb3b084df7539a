#pragma once

#include <optional>

#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// A new kernel scan in every report window, while no advertisement monitor lifts the
// kernel's duplicate filter (under it a steady device is heard once a scan).
//
// The new scan comes from a change of the discovery filter (its RSSI floor alternates
// between -127 and -126): bluetoothd restarts the kernel's scan when the merged filter
// changes while it discovers. A stop would make it drop every temporary device that is not
// connectable and add it again at the next advertisement, an InterfacesRemoved and an
// InterfacesAdded with every property each time, for every listener on the bus.
class WindowScans {
public:
    explicit WindowScans(BluezBinding& binding);

    // The listener's report window begins: arms this window's new scan.
    void windowBegan();
    // Arms the new scan at this window's phase point unless that has passed: at most one
    // per window.
    void arm();
    void cancel() { alarm_.cancel(); }
    // A new scan without stopping discovery.
    void nudge();

    // The RSSI floor the filter carries now.
    int16_t filterRssi() const { return nudged_ ? -126 : -127; }
    // A new scan is on its way: nothing reported in it yet.
    void scanAsked() { reported_ = false; }
    void heard() { reported_ = true; }
    // Whether the filter call answered now was a nudge; it is not any more.
    bool takeNudge();
    void reset();

private:
    void fire();

    BluezBinding& binding_;
    std::optional<double> windowStartS_;  // when the listener's current report window began
    bool reported_ = false;  // an advertisement arrived since we last asked for a new scan
    bool nudged_ = false;    // the filter's RSSI is the nudged one
    bool nudging_ = false;   // the filter call in flight is a nudge
    runtime::Alarm alarm_;
};

}  // namespace brelo::bluetooth::bluez
