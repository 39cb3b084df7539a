#include "bluetooth/bluez/discovery.h"

#include <algorithm>
#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

Discovery::Discovery(BluezBinding& binding)
    : binding_(binding), alarm_(binding.loop, [this] { ensure(true); }) {}

bool Discovery::possible() const {
    return binding_.connection.bluezThere() && binding_.objects.known() && binding_.objects.poweredOn();
}

void Discovery::request(BluezCentral& central, const std::optional<std::vector<Uuid>>& services) {
    central.scanning_ = true;
    central.services_ = services.value_or(std::vector<Uuid>{});
    if (binding_.managers.publishing())
        binding_.managers.deferScan();  // started once every manager has had its report
    else
        ensure(true);
}

void Discovery::stop(BluezCentral& central) {
    central.scanning_ = false;
    central.services_.clear();
    if (binding_.managers.scanWanted())
        return;
    const bool running = active_ || call_;
    reset();
    // Our session would end with the connection anyway; ending it now tells BlueZ at once.
    // The answer changes nothing, so none is waited for.
    const BusConnection& c = binding_.connection;
    const std::string& adapter = binding_.objects.adapterPath();
    if (running && c.bluezThere() && !adapter.empty())
        callBluez(c.bus(), nullptr, c.bluez().name(), adapter, kAdapterInterface, "StopDiscovery", nullptr, nullptr);
}

void Discovery::ensure(bool requested) {
    if (!binding_.managers.scanWanted() || !possible())
        return;
    // Discovery waits while an advertisement is being registered: a controller without LE
    // extended advertising refuses the registration once a scan runs.
    if (call_ || (!active_ && binding_.advertising.registering())) {
        again_ = again_ || requested;
        return;
    }
    const bool retryPending = alarm_.armed() || binding_.access.retryPending(Access::discovery);
    if (!requested && (active_ || retryPending))
        return;
    alarm_.cancel();
    sendFilter();
}

void Discovery::sendFilter() {
    // A new scan is on its way. Forgotten now, not when BlueZ answers: the new scan's first
    // reports can reach us before the answer to StartDiscovery, and a report forgotten after
    // the fact would leave the next restart out (and the kernel's duplicate filter with it).
    binding_.windowScans.scanAsked();
    // UUIDs only when every scan asked for services: BlueZ would drop everything else.
    std::vector<Uuid> uuids;
    bool filterUuids = true;
    for (const BluezCentral* c : binding_.managers.centrals()) {
        if (!c->scanning_)
            continue;
        if (c->services_.empty()) {
            filterUuids = false;
            break;
        }
        for (const Uuid& u : c->services_)
            if (std::find(uuids.begin(), uuids.end(), u) == uuids.end())
                uuids.push_back(u);
    }

    const BusConnection& c = binding_.connection;
    MessagePtr m;
    int r = newBluezCall(c.bus(), m, c.bluez().name(), binding_.objects.adapterPath(), kAdapterInterface,
                         "SetDiscoveryFilter");
    if (r < 0)
        return;
    r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_ARRAY, "{sv}");
    // RSSI must be a 16-bit integer: BlueZ refuses the filter otherwise. The lowest it
    // accepts lets everything through; it is set only because with it BlueZ reports every
    // advertisement's RSSI rather than steps of 8 dBm.
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "Transport", "s", "le");
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "DuplicateData", "b", 1);
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "RSSI", "n", binding_.windowScans.filterRssi());
    if (r >= 0 && filterUuids && !uuids.empty()) {
        r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0)
            r = sd_bus_message_append(m.get(), "s", "UUIDs");
        if (r >= 0)
            r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_VARIANT, "as");
        if (r >= 0)
            r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_ARRAY, "s");
        for (const Uuid& u : uuids)
            if (r >= 0)
                r = sd_bus_message_append(m.get(), "s", u.canonical().c_str());
        for (int i = 0; i < 3 && r >= 0; ++i)
            r = sd_bus_message_close_container(m.get());
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m.get());
    sd_bus_slot* slot = nullptr;
    if (r >= 0)
        r = sd_bus_call_async(c.bus(), &slot, m.get(), &onFilter, this, 0);
    if (r < 0) {
        alarm_.arm(binding_.nextBackoff(backoffS_));
        return;
    }
    call_.reset(slot);
}

int Discovery::onFilter(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<Discovery*>(userdata);
    BluezBinding& b = self->binding_;
    try {
        self->call_.reset();
        const bool nudge = b.windowScans.takeNudge();
        const sd_bus_error* e = replyError(m);
        if (isAccessRefusal(e)) {
            self->again_ = false;
            b.access.refused(Access::discovery);
            return 0;
        }
        if (nudge && !e) {
            b.windowScans.arm();
            if (std::exchange(self->again_, false))
                self->ensure(true);
            return 0;
        }
        if (isError(e, kNotReady)) {
            // The adapter is off: its power-on brings a new request. If it only seemed on to
            // us (Powered not yet signalled), try again shortly.
            self->again_ = false;
            self->retryIfPossible();
            return 0;
        }
        // A registration began meanwhile (a power-on): it goes first, then filter and start.
        if (!self->active_ && b.advertising.registering()) {
            self->again_ = true;
            return 0;
        }
        // Any other refusal of the filter still leaves discovery worth starting: without the
        // filter BlueZ reports fewer advertisements, but it reports them.
        sd_bus_slot* slot = nullptr;
        int r = callBluez(b.connection.bus(), &slot, b.connection.bluez().name(), b.objects.adapterPath(),
                          kAdapterInterface, "StartDiscovery", &onStart, self);
        if (r < 0) {
            self->alarm_.arm(b.nextBackoff(self->backoffS_));
            return 0;
        }
        self->call_.reset(slot);
    } catch (...) {
    }
    return 0;
}

int Discovery::onStart(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<Discovery*>(userdata);
    BluezBinding& b = self->binding_;
    try {
        self->call_.reset();
        const sd_bus_error* e = replyError(m);
        if (!e || isError(e, kInProgress)) {
            self->active_ = true;
            b.windowScans.arm();
            b.access.accepted(Access::discovery);
        } else if (isAccessRefusal(e)) {
            self->again_ = false;
            b.access.refused(Access::discovery);
            return 0;
        } else if (isError(e, kNotReady)) {
            self->again_ = false;
            self->retryIfPossible();
            return 0;
        } else {
            self->again_ = false;
            self->alarm_.arm(b.nextBackoff(self->backoffS_));
            return 0;
        }
        if (std::exchange(self->again_, false))
            self->ensure(true);
    } catch (...) {
    }
    return 0;
}

void Discovery::retryIfPossible() {
    if (binding_.managers.scanWanted() && possible())
        alarm_.arm(std::max(binding_.nextBackoff(backoffS_), binding_.options.backoffFirstS));
}

// Discovering fell while we wanted it: start again, at once the first time and with a
// growing delay if it keeps falling without anything heard.
void Discovery::stopped() {
    active_ = false;
    if (!binding_.managers.scanWanted() || call_)
        return;
    const double delay = binding_.nextBackoff(backoffS_);
    if (delay <= 0)
        ensure(true);
    else
        alarm_.arm(delay);
}

void Discovery::restart() {
    binding_.windowScans.cancel();
    const BusConnection& c = binding_.connection;
    sd_bus_slot* slot = nullptr;
    int r = callBluez(c.bus(), &slot, c.bluez().name(), binding_.objects.adapterPath(), kAdapterInterface,
                      "StopDiscovery", &onStop, this);
    if (r >= 0)
        call_.reset(slot);
}

int Discovery::onStop(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<Discovery*>(userdata);
    try {
        self->call_.reset();
        // Whatever the answer, the filter goes first: stopping dropped it.
        self->active_ = false;
        self->again_ = false;
        // A registration refused while the scan ran goes out now, before discovery resumes.
        self->binding_.advertising.registerPaused();
        self->ensure(true);
    } catch (...) {
    }
    return 0;
}

void Discovery::reset() {
    call_.reset();
    alarm_.cancel();
    active_ = false;
    again_ = false;
    backoffS_ = 0;
    binding_.windowScans.reset();
    binding_.radio.reset();
}

}  // namespace brelo::bluetooth::bluez
