#include "bluetooth/bluez/window_scans.h"

#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

WindowScans::WindowScans(BluezBinding& binding) : binding_(binding), alarm_(binding.loop, [this] { fire(); }) {}

void WindowScans::windowBegan() {
    windowStartS_ = binding_.loop.monotonicNow();
    alarm_.cancel();
    arm();
}

void WindowScans::arm() {
    const auto& phase = binding_.options.rediscoverPhaseS;
    if (!phase || binding_.monitor.active() || !windowStartS_ || alarm_.armed())
        return;
    const double wait = *windowStartS_ + *phase - binding_.loop.monotonicNow();
    if (wait >= 0)
        alarm_.arm(wait);
}

void WindowScans::nudge() {
    alarm_.cancel();
    nudged_ = !nudged_;
    nudging_ = true;
    binding_.discovery.sendFilter();
    if (!binding_.discovery.calling())
        nudging_ = false;
}

bool WindowScans::takeNudge() { return std::exchange(nudging_, false); }

void WindowScans::reset() {
    alarm_.cancel();
    nudging_ = false;
    reported_ = false;
}

void WindowScans::fire() {
    if (binding_.monitor.active())
        return;
    // Nothing reported since this scan began means nothing in the kernel's duplicate list:
    // a new scan would only cost a gap.
    const Discovery& discovery = binding_.discovery;
    if (!reported_ || !discovery.active() || discovery.calling() || binding_.advertising.registering() ||
        !binding_.managers.scanWanted() || !discovery.possible())
        return;
    nudge();
}

}  // namespace brelo::bluetooth::bluez
