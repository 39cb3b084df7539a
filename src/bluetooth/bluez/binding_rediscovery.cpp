#include <cmath>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

// ---------------------------------------------------------------------------------------
// A new kernel scan every window, while no advertisement monitor lifts the duplicate filter

// A new kernel scan, with an empty duplicate list, without stopping discovery: bluetoothd
// restarts the kernel's scan when the merged discovery filter changes while it discovers.
// A stop would make it drop every temporary device that is not connectable and add it again
// at the next advertisement, an InterfacesRemoved and an InterfacesAdded with every property
// each time, for every listener on the bus.
void BluezBinding::nudgeDiscovery() {
    rediscoverAlarm_.cancel();
    filterNudged_ = !filterNudged_;
    nudging_ = true;
    sendDiscoveryFilter();
    if (!discoveryCall_)
        nudging_ = false;
}

// The next restart, at the phase point of the next interval that is at least half an
// interval away, so that a restart completing late never makes two in one window.
void BluezBinding::armRediscovery() {
    double interval = options_.rediscoverIntervalS;
    if (interval <= 0 || monitor_ == Monitor::Active || !anchorS_ || rediscoverAlarm_.armed())
        return;
    double now = loop_.monotonicNow();
    double first = *anchorS_ + options_.rediscoverPhaseS;
    double next = first;
    if (now > first)
        next = first + std::ceil((now - first) / interval) * interval;
    if (next - now < interval / 2)
        next += interval;
    rediscoverAlarm_.arm(next - now);
}

void BluezBinding::rediscover() {
    if (monitor_ == Monitor::Active)
        return;
    // Nothing reported since this scan began means nothing in the kernel's duplicate list:
    // a restart would only cost a gap.
    if (!reportedThisScan_ || !discoveryActive_ || discoveryCall_ || registering() || !scanWanted() ||
        !discoveryPossible()) {
        armRediscovery();  // nothing to restart now; try at the next point
        return;
    }
    nudgeDiscovery();
}

}  // namespace brelo::bluetooth::bluez
