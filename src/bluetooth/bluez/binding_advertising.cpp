#include <optional>
#include <string>
#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

// ---------------------------------------------------------------------------------------
// Advertising

bool BluezBinding::advertisingPossible() const {
    return bus_ && !owner_.empty() && objectsKnown_ && currentAdapter() && cache_.hasAdvertisingManager(adapterPath_);
}

void BluezBinding::requestAdvertising(BluezPeripheral& peripheral, const AdvertisingData& data) {
    peripheral.wanted = true;
    peripheral.hold = false;
    peripheral.quiet = false;
    peripheral.backoffS = 0;
    peripheral.object.setData(data);
    advertise(peripheral);
}

void BluezBinding::stopAdvertising(BluezPeripheral& p) {
    const bool onAir = p.registered || p.call;
    dropRegistration(p);
    p.wanted = false;
    // The object stays exported: BlueZ may still be reading it back for a registration in
    // flight, which this unregistration then follows.
    if (onAir && bus_ && !owner_.empty() && !adapterPath_.empty())
        callBluez(bus_.get(), nullptr, owner_, adapterPath_, kAdvertisingManagerInterface, "UnregisterAdvertisement",
                  nullptr, nullptr, "o", p.object.path().c_str());
    advertisingDone();  // discovery held back for the registration need not wait any more
}

// Unregister first (BlueZ may still hold our path from before a power cycle), then register.
void BluezBinding::advertise(BluezPeripheral& p) {
    if (!advertisingPossible())
        return;  // still wanted: taken up when the adapter is back
    if (p.call) {
        p.again = true;
        return;
    }
    if (p.object.exportOn(bus_.get()) < 0)
        return;
    p.retryAlarm.cancel();
    p.registered = false;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, adapterPath_, kAdvertisingManagerInterface, "UnregisterAdvertisement",
                      &onUnregistered, &p, "o", p.object.path().c_str());
    if (r >= 0)
        p.call.reset(slot);
}

// A refused registration, tried again after its back-off. Refused with Failed while the
// scan ran: discovery is stopped, the registration goes out, then discovery resumes.
void BluezBinding::retryAdvertising(BluezPeripheral& p) {
    if (!p.wanted || p.registered || p.hold || p.call)
        return;
    if (p.pauseDiscovery && discoveryActive_ && !discoveryCall_ && discoveryPossible())
        restartDiscovery();
    else
        advertise(p);
}

int BluezBinding::onUnregistered(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    BluezBinding& self = p.binding();
    try {
        p.call.reset();
        if (!sd_bus_is_open(self.bus_.get()))
            return 0;  // the connection is going; a new one starts over
        // DoesNotExist is the usual answer; any other one is no reason not to try registering.
        MessagePtr m;
        int r = newBluezCall(self.bus_.get(), m, self.owner_, self.adapterPath_, kAdvertisingManagerInterface,
                             "RegisterAdvertisement");
        if (r >= 0)
            r = sd_bus_message_append(m.get(), "oa{sv}", p.object.path().c_str(), 0);
        sd_bus_slot* slot = nullptr;
        // BlueZ reads our object back over this same connection before it answers, which is
        // why this call must never block the loop.
        if (r >= 0)
            r = sd_bus_call_async(self.bus_.get(), &slot, m.get(), &onRegistered, &p, 0);
        if (r >= 0)
            p.call.reset(slot);
        else
            self.advertisingDone();
    } catch (...) {
    }
    return 0;
}

// No registration in flight any more: discovery held back for it may start.
void BluezBinding::advertisingDone() {
    if (!registering())
        ensureDiscovery(std::exchange(discoveryAgain_, false));
}

int BluezBinding::onRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    BluezBinding& self = p.binding();
    try {
        p.call.reset();
        if (!sd_bus_is_open(self.bus_.get()))
            return 0;  // no answer from BlueZ, only the end of the connection
        const sd_bus_error* e = replyError(m);
        std::optional<std::string> error;
        bool deniedNow = false;
        if (e) {
            error = (e->message && *e->message) ? e->message : (e->name ? e->name : "refused");
            // BlueZ's NotPermitted here means "Maximum advertisements reached", not a refusal of access.
            deniedNow = isError(e, kAccessDenied);
        } else {
            p.registered = true;
        }
        bool report = !(e && p.quiet);
        p.quiet = false;
        if (e && !deniedNow) {
            // Tried again with back-off (access refusals are retried with the rest, see retry);
            // only the outcome that ends the refusals is reported.
            p.quiet = true;
            p.pauseDiscovery = isError(e, kFailed) && (self.discoveryActive_ || self.discoveryCall_);
            p.retryAlarm.arm(self.nextBackoff(p.backoffS));
        } else if (!e) {
            p.backoffS = 0;
            p.pauseDiscovery = false;
        }
        if (std::exchange(p.again, false))
            self.advertise(p);
        self.advertisingDone();
        // The outcome goes last: the delegate may drop its manager, p included.
        if (report)
            p.delegate.peripheralManagerDidStartAdvertising(p, error);
        if (deniedNow)
            self.refused(kAdvertisingAccess);
        else if (!e)
            self.accepted(kAdvertisingAccess);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::resumeAdvertising() {
    if (!advertisingPossible())
        return;
    std::optional<ManagerState> central = centralState();
    if (!central || peripheralState(*central) != ManagerState::poweredOn)
        return;
    for (BluezPeripheral* p : peripherals_)
        if (p->wanted && !p->registered && !p->hold && !p->call && !p->retryAlarm.armed())
            advertise(*p);
}

void BluezBinding::dropRegistration(BluezPeripheral& p) {
    p.call.reset();
    p.registered = false;
    p.hold = false;
    p.again = false;
    p.quiet = false;
    p.pauseDiscovery = false;
    p.backoffS = 0;
    p.retryAlarm.cancel();
}

void BluezBinding::released(BluezPeripheral& p) {
    p.registered = false;
    p.hold = true;
    p.retryAlarm.cancel();
}

}  // namespace brelo::bluetooth::bluez
