#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "bluetooth/bluez/advertising.h"

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

Advertising::Advertising(BluezBinding& binding) : binding_(binding) {}

bool Advertising::possible() const {
    const BluezObjects& objects = binding_.objects;
    return binding_.connection.bluezThere() && objects.known() && objects.adapter() &&
           objects.cache().hasAdvertisingManager(objects.adapterPath());
}

bool Advertising::registering() const {
    const auto& all = binding_.managers.peripherals();
    return std::any_of(all.begin(), all.end(),
                       [](const BluezPeripheral* p) { return p->registration_.call != nullptr; });
}

void Advertising::request(BluezPeripheral& p, const AdvertisingData& data) {
    Registration& r = p.registration_;
    r.wanted = true;
    r.hold = false;
    r.quiet = false;
    r.backoffS = 0;
    p.object_.setData(data);
    advertise(p);
}

void Advertising::stop(BluezPeripheral& p) {
    const bool onAir = p.registration_.registered || p.registration_.call;
    drop(p);
    p.registration_.wanted = false;
    // The object stays exported: BlueZ may still be reading it back for a registration in
    // flight, which this unregistration then follows.
    const BusConnection& c = binding_.connection;
    const std::string& adapter = binding_.objects.adapterPath();
    if (onAir && c.bluezThere() && !adapter.empty())
        callBluez(c.bus(), nullptr, c.bluez().name(), adapter, kAdvertisingManagerInterface, "UnregisterAdvertisement",
                  nullptr, nullptr, "o", p.object_.path().c_str());
    done();  // discovery held back for the registration need not wait any more
}

void Advertising::advertise(BluezPeripheral& p) {
    if (!possible())
        return;  // still wanted: taken up when the adapter is back
    Registration& reg = p.registration_;
    if (reg.call) {
        reg.again = true;
        return;
    }
    const BusConnection& c = binding_.connection;
    if (p.object_.exportOn(c.bus()) < 0)
        return;
    reg.retryAlarm.cancel();
    reg.registered = false;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), binding_.objects.adapterPath(), kAdvertisingManagerInterface,
                      "UnregisterAdvertisement", &onUnregistered, &p, "o", p.object_.path().c_str());
    if (r >= 0)
        reg.call.reset(slot);
}

// Refused with Failed while the scan ran: discovery is stopped, the registration goes out,
// then discovery resumes.
void Advertising::retry(BluezPeripheral& p) {
    if (!p.registration_.idle())
        return;
    const Discovery& discovery = binding_.discovery;
    if (p.registration_.pauseDiscovery && discovery.active() && !discovery.calling() && discovery.possible())
        binding_.discovery.restart();
    else
        advertise(p);
}

void Advertising::retryRefused() {
    for (BluezPeripheral* p : binding_.managers.peripherals()) {
        if (p->registration_.idle()) {
            p->registration_.quiet = true;
            advertise(*p);
        }
    }
}

void Advertising::registerPaused() {
    for (BluezPeripheral* p : binding_.managers.peripherals())
        if (p->registration_.pauseDiscovery && p->registration_.idle())
            advertise(*p);
}

int Advertising::onUnregistered(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    Advertising& self = p.binding_.advertising;
    const BusConnection& c = p.binding_.connection;
    try {
        p.registration_.call.reset();
        if (!sd_bus_is_open(c.bus()))
            return 0;  // the connection is going; a new one starts over
        // DoesNotExist is the usual answer; any other one is no reason not to try registering.
        MessagePtr m;
        int r = newBluezCall(c.bus(), m, c.bluez().name(), p.binding_.objects.adapterPath(),
                             kAdvertisingManagerInterface, "RegisterAdvertisement");
        if (r >= 0)
            r = sd_bus_message_append(m.get(), "oa{sv}", p.object_.path().c_str(), 0);
        sd_bus_slot* slot = nullptr;
        // BlueZ reads our object back over this same connection before it answers, which is
        // why this call must never block the loop.
        if (r >= 0)
            r = sd_bus_call_async(c.bus(), &slot, m.get(), &onRegistered, &p, 0);
        if (r >= 0)
            p.registration_.call.reset(slot);
        else
            self.done();
    } catch (...) {
    }
    return 0;
}

void Advertising::done() {
    if (!registering())
        binding_.discovery.ensureHeldBack();
}

int Advertising::onRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto& p = *static_cast<BluezPeripheral*>(userdata);
    BluezBinding& b = p.binding_;
    Advertising& self = b.advertising;
    Registration& reg = p.registration_;
    try {
        reg.call.reset();
        if (!sd_bus_is_open(b.connection.bus()))
            return 0;  // no answer from BlueZ, only the end of the connection
        const sd_bus_error* e = replyError(m);
        std::optional<std::string> error;
        bool deniedNow = false;
        if (e) {
            error = (e->message && *e->message) ? e->message : (e->name ? e->name : "refused");
            // BlueZ's NotPermitted here means "Maximum advertisements reached", not a refusal of access.
            deniedNow = isError(e, kAccessDenied);
        } else {
            reg.registered = true;
        }
        bool report = !(e && reg.quiet);
        reg.quiet = false;
        if (e && !deniedNow) {
            // Tried again with back-off (access refusals are retried with the rest); only the
            // outcome that ends the refusals is reported.
            reg.quiet = true;
            reg.pauseDiscovery = isError(e, kFailed) && (b.discovery.active() || b.discovery.calling());
            reg.retryAlarm.arm(b.nextBackoff(reg.backoffS));
        } else if (!e) {
            reg.backoffS = 0;
            reg.pauseDiscovery = false;
        }
        if (std::exchange(reg.again, false))
            self.advertise(p);
        self.done();
        // The outcome goes last: the delegate may drop its manager, p included.
        if (report)
            p.delegate_.peripheralManagerDidStartAdvertising(p, error);
        if (deniedNow)
            b.access.refused(Access::advertising);
        else if (!e)
            b.access.accepted(Access::advertising);
    } catch (...) {
    }
    return 0;
}

void Advertising::resume() {
    if (!possible())
        return;
    std::optional<ManagerState> central = binding_.managers.centralState();
    if (!central || binding_.managers.peripheralState(*central) != ManagerState::poweredOn)
        return;
    for (BluezPeripheral* p : binding_.managers.peripherals())
        if (p->registration_.idle() && !p->registration_.retryAlarm.armed())
            advertise(*p);
}

void Advertising::drop(BluezPeripheral& p) {
    Registration& reg = p.registration_;
    reg.call.reset();
    reg.registered = false;
    reg.hold = false;
    reg.again = false;
    reg.quiet = false;
    reg.pauseDiscovery = false;
    reg.backoffS = 0;
    reg.retryAlarm.cancel();
}

void Advertising::dropAll() {
    for (BluezPeripheral* p : binding_.managers.peripherals())
        drop(*p);
}

void Advertising::released(BluezPeripheral& p) {
    p.registration_.registered = false;
    p.registration_.hold = true;
    p.registration_.retryAlarm.cancel();
}

}  // namespace brelo::bluetooth::bluez
