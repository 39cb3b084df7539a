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

void BluezBinding::windowBegan() {
    windowStartS_ = loop_.monotonicNow();
    rediscoverAlarm_.cancel();
    armRediscovery();
}

// The restart at this window's phase point. Once the point has passed (a restart done, or
// one that could not be made then) the next window's beginning arms the next: at most one
// restart per window.
void BluezBinding::armRediscovery() {
    if (!options_.rediscoverPhaseS || monitor_ == Monitor::Active || !windowStartS_ || rediscoverAlarm_.armed())
        return;
    const double wait = *windowStartS_ + *options_.rediscoverPhaseS - loop_.monotonicNow();
    if (wait >= 0)
        rediscoverAlarm_.arm(wait);
}

void BluezBinding::rediscover() {
    if (monitor_ == Monitor::Active)
        return;
    // Nothing reported since this scan began means nothing in the kernel's duplicate list:
    // a restart would only cost a gap.
    if (!reportedThisScan_ || !discoveryActive_ || discoveryCall_ || registering() || !scanWanted() ||
        !discoveryPossible()) {
        return;
    }
    nudgeDiscovery();
}

}  // namespace brelo::bluetooth::bluez
