#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {
namespace {

// Lowest RSSI BlueZ accepts in a discovery filter: a filter that lets everything through,
// set only because with it BlueZ reports every advertisement's RSSI rather than steps of 8 dBm.
// The nudge alternates it with one step up, still far below anything the listener keeps.
constexpr int16_t kFilterRssi = -127;
constexpr int16_t kNudgedFilterRssi = -126;

}  // namespace

// ---------------------------------------------------------------------------------------
// Discovery

bool BluezBinding::scanWanted() const {
    return std::any_of(centrals_.begin(), centrals_.end(), [](const BluezCentral* c) { return c->scanning; });
}

bool BluezBinding::discoveryPossible() const {
    const AdapterProperties* adapter = currentAdapter();
    return bus_ && !owner_.empty() && objectsKnown_ && adapter && adapter->powered.value_or(false);
}

void BluezBinding::requestScan(BluezCentral& central, const std::optional<std::vector<Uuid>>& services) {
    central.scanning = true;
    central.services = services.value_or(std::vector<Uuid>{});
    if (publishing_)
        scanDeferred_ = true;  // started once every manager has had its report
    else
        ensureDiscovery(true);
}

bool BluezBinding::registering() const {
    return std::any_of(peripherals_.begin(), peripherals_.end(),
                       [](const BluezPeripheral* p) { return p->call != nullptr; });
}

void BluezBinding::stopScan(BluezCentral& central) {
    central.scanning = false;
    central.services.clear();
    if (scanWanted())
        return;
    const bool running = discoveryActive_ || discoveryCall_;
    resetDiscovery();
    // Our session would end with the connection anyway; ending it now tells BlueZ at once.
    // The answer changes nothing, so none is waited for.
    if (running && bus_ && !owner_.empty() && !adapterPath_.empty())
        callBluez(bus_.get(), nullptr, owner_, adapterPath_, kAdapterInterface, "StopDiscovery", nullptr, nullptr);
}

// requested: a scan request or a restart, which sets the filter and starts discovery even
// when it is already running (the filter may have changed; InProgress is harmless).
// Otherwise discovery is only started when it is not running and no retry is pending.
void BluezBinding::ensureDiscovery(bool requested) {
    if (!scanWanted() || !discoveryPossible())
        return;
    // Discovery waits while an advertisement is being registered: a controller without LE
    // extended advertising refuses the registration once a scan runs.
    if (discoveryCall_ || (!discoveryActive_ && registering())) {
        discoveryAgain_ = discoveryAgain_ || requested;
        return;
    }
    bool retryPending = discoveryAlarm_.armed() || ((denied_ & kDiscoveryAccess) && retryAlarm_.armed());
    if (!requested && (discoveryActive_ || retryPending))
        return;
    discoveryAlarm_.cancel();
    sendDiscoveryFilter();
}

void BluezBinding::sendDiscoveryFilter() {
    // A new scan is on its way. Forgotten now, not when BlueZ answers: the new scan's first
    // reports can reach us before the answer to StartDiscovery, and a report forgotten after
    // the fact would leave the next restart out (and the kernel's duplicate filter with it).
    reportedThisScan_ = false;
    // UUIDs only when every scan asked for services: BlueZ would drop everything else.
    std::vector<Uuid> uuids;
    bool filterUuids = true;
    for (const BluezCentral* c : centrals_) {
        if (!c->scanning)
            continue;
        if (c->services.empty()) {
            filterUuids = false;
            break;
        }
        for (const Uuid& u : c->services)
            if (std::find(uuids.begin(), uuids.end(), u) == uuids.end())
                uuids.push_back(u);
    }

    MessagePtr m;
    int r = newBluezCall(bus_.get(), m, owner_, adapterPath_, kAdapterInterface, "SetDiscoveryFilter");
    if (r < 0)
        return;
    r = sd_bus_message_open_container(m.get(), SD_BUS_TYPE_ARRAY, "{sv}");
    // RSSI must be a 16-bit integer: BlueZ refuses the filter otherwise.
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "Transport", "s", "le");
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "DuplicateData", "b", 1);
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "{sv}", "RSSI", "n", filterNudged_ ? kNudgedFilterRssi : kFilterRssi);
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
        r = sd_bus_call_async(bus_.get(), &slot, m.get(), &onDiscoveryFilter, this, 0);
    if (r < 0) {
        discoveryAlarm_.arm(nextBackoff(discoveryBackoffS_));
        return;
    }
    discoveryCall_.reset(slot);
}

int BluezBinding::onDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        const bool nudge = std::exchange(self->nudging_, false);
        const sd_bus_error* e = replyError(m);
        if (isAccessRefusal(e)) {
            self->discoveryAgain_ = false;
            self->refused(kDiscoveryAccess);
            return 0;
        }
        if (nudge && !e) {
            self->armRediscovery();
            if (std::exchange(self->discoveryAgain_, false))
                self->ensureDiscovery(true);
            return 0;
        }
        if (isError(e, kNotReady)) {
            // The adapter is off: its power-on brings a new request. If it only seemed on to
            // us (Powered not yet signalled), try again shortly.
            self->discoveryAgain_ = false;
            self->retryDiscoveryIfPossible();
            return 0;
        }
        // A registration began meanwhile (a power-on): it goes first, then filter and start.
        if (!self->discoveryActive_ && self->registering()) {
            self->discoveryAgain_ = true;
            return 0;
        }
        // Any other refusal of the filter still leaves discovery worth starting: without the
        // filter BlueZ reports fewer advertisements, but it reports them.
        sd_bus_slot* slot = nullptr;
        int r = callBluez(self->bus_.get(), &slot, self->owner_, self->adapterPath_, kAdapterInterface,
                          "StartDiscovery", &onStartDiscovery, self);
        if (r < 0) {
            self->discoveryAlarm_.arm(self->nextBackoff(self->discoveryBackoffS_));
            return 0;
        }
        self->discoveryCall_.reset(slot);
    } catch (...) {
    }
    return 0;
}

int BluezBinding::onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        const sd_bus_error* e = replyError(m);
        if (!e || isError(e, kInProgress)) {
            self->discoveryActive_ = true;
            self->armRediscovery();
            self->accepted(kDiscoveryAccess);
        } else if (isAccessRefusal(e)) {
            self->discoveryAgain_ = false;
            self->refused(kDiscoveryAccess);
            return 0;
        } else if (isError(e, kNotReady)) {
            self->discoveryAgain_ = false;
            self->retryDiscoveryIfPossible();
            return 0;
        } else {
            self->discoveryAgain_ = false;
            self->discoveryAlarm_.arm(self->nextBackoff(self->discoveryBackoffS_));
            return 0;
        }
        if (std::exchange(self->discoveryAgain_, false))
            self->ensureDiscovery(true);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::retryDiscoveryIfPossible() {
    if (scanWanted() && discoveryPossible())
        discoveryAlarm_.arm(std::max(nextBackoff(discoveryBackoffS_), options_.backoffFirstS));
}

// Discovering fell on the adapter in use while we wanted it: start again, at once the
// first time and with a growing delay if it keeps falling without anything heard.
void BluezBinding::discoveryStopped() {
    discoveryActive_ = false;
    if (!scanWanted() || discoveryCall_)
        return;
    double delay = nextBackoff(discoveryBackoffS_);
    if (delay <= 0)
        ensureDiscovery(true);
    else
        discoveryAlarm_.arm(delay);
}

// Stop, then filter and start: the kernel begins a new scan with an empty duplicate list.
void BluezBinding::restartDiscovery() {
    rediscoverAlarm_.cancel();
    sd_bus_slot* slot = nullptr;
    int r = callBluez(bus_.get(), &slot, owner_, adapterPath_, kAdapterInterface, "StopDiscovery", &onStopDiscovery,
                      this);
    if (r >= 0)
        discoveryCall_.reset(slot);
}

int BluezBinding::onStopDiscovery(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
    auto* self = static_cast<BluezBinding*>(userdata);
    try {
        self->discoveryCall_.reset();
        // Whatever the answer, the filter goes first: stopping dropped it.
        self->discoveryActive_ = false;
        self->discoveryAgain_ = false;
        // A registration refused while the scan ran goes out now, before discovery resumes.
        for (BluezPeripheral* p : self->peripherals_)
            if (p->pauseDiscovery && p->wanted && !p->registered && !p->hold && !p->call)
                self->advertise(*p);
        self->ensureDiscovery(true);
    } catch (...) {
    }
    return 0;
}

void BluezBinding::resetDiscovery() {
    discoveryCall_.reset();
    discoveryAlarm_.cancel();
    rediscoverAlarm_.cancel();
    discoveryActive_ = false;
    discoveryAgain_ = false;
    nudging_ = false;
    discoveryBackoffS_ = 0;
    reportedThisScan_ = false;
    powerCall_.reset();
    powerAlarm_.cancel();
    powerCycle_ = PowerCycle::None;
    radio_.reset();
}

}  // namespace brelo::bluetooth::bluez
