#include "fake_discovery.h"

#include "fake_adapter.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "adapter_support.h"
#include "script.h"

namespace brelo::fakebluez {

const sd_bus_vtable FakeDiscovery::vtable_[] = {
    SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartDiscovery", "", "", FakeDiscovery::onStart, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopDiscovery", "", "", FakeDiscovery::onStop, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetDiscoveryFilter", "a{sv}", "", FakeDiscovery::onSetFilter, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetDiscoveryFilters", "", "as", FakeDiscovery::onGetFilters, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Its methods are a second vtable of the adapter's Adapter1 interface: sd-bus merges them.
FakeDiscovery::FakeDiscovery(FakeAdapter& adapter) : adapter_(adapter) {
    sd_bus_slot* raw = nullptr;
    int r = sd_bus_add_object_vtable(adapter_.env().bus, &raw, adapter_.path().c_str(), kAdapterInterface, vtable_,
                                     this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_vtable " + adapter_.path());
    slot_.reset(raw);
}

// A new kernel scan: its duplicate list starts empty.
void FakeDiscovery::newScan() {
    scanStartS_ = monotonicSeconds();
    scanUnfiltered_ = adapter_.monitors().active();
    reportedThisScan_.clear();
}

void FakeDiscovery::setDiscovering(bool on, bool alsoPowered) {
    bool changed = discovering_ != on;
    discovering_ = on;
    if (changed && on)
        newScan();
    sd_bus* bus = adapter_.env().bus;
    const char* path = adapter_.path().c_str();
    if (alsoPowered && changed)
        sd_bus_emit_properties_changed(bus, path, kAdapterInterface, "Powered", "Discovering", nullptr);
    else if (alsoPowered)
        sd_bus_emit_properties_changed(bus, path, kAdapterInterface, "Powered", nullptr);
    else if (changed)
        sd_bus_emit_properties_changed(bus, path, kAdapterInterface, "Discovering", nullptr);
    if (changed && !on)
        adapter_.invalidateSignals();
}

void FakeDiscovery::poweredOff() {
    // BlueZ reports Powered and Discovering in one PropertiesChanged, since it batches the
    // changes of one turn of its loop.
    for (auto& [owner, client] : clients_)
        if (client.discovering)
            adapter_.say("discovery stop " + owner + " adapter=" + adapter_.config().name + " (powered off)");
    clients_.clear();
    setDiscovering(false, true);
}

void FakeDiscovery::forgetClient(const std::string& owner) {
    auto it = clients_.find(owner);
    if (it == clients_.end())
        return;
    const bool was = it->second.discovering;
    clients_.erase(it);
    if (!was)
        return;
    adapter_.say("discovery stop " + owner + " adapter=" + adapter_.config().name + " (client gone)");
    if (std::none_of(clients_.begin(), clients_.end(), [](auto& c) { return c.second.discovering; }))
        setDiscovering(false, false);
}

std::optional<Delivery> FakeDiscovery::gate(const std::string& address, const AdvertData& data,
                                            const std::string& label) {
    const bool powered = adapter_.config().powered;
    if (powered && !discovering_ && monotonicSeconds() < restartingUntilS_ && held_.size() < 10000) {
        held_.push_back({address, data, label});
        return Delivery::Held;
    }
    if (!powered || !discovering_)
        return Delivery::NotDiscovering;
    if (!filterAccepts(data))
        return Delivery::Filtered;
    if (duplicate(address))
        return Delivery::Duplicate;
    return std::nullopt;
}

void FakeDiscovery::endDiscovery(const char* reason) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second.discovering) {
            adapter_.say("discovery stop " + it->first + " adapter=" + adapter_.config().name + " (" + reason + ")");
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
    setDiscovering(false, false);
}

void FakeDiscovery::stopByItself() {
    if (!discovering_) {
        adapter_.say("discovery not running adapter=" + adapter_.config().name);
        return;
    }
    endDiscovery("stopped by bluez");
}

void FakeDiscovery::deliverHeld() {
    bool late = monotonicSeconds() > restartingUntilS_;
    restartingUntilS_ = 0;
    std::vector<Held> held = std::move(held_);
    held_.clear();
    for (auto& h : held) {
        Delivery d = late ? Delivery::NotDiscovering : adapter_.advert(h.address, h.data);
        if (h.label.empty())
            continue;
        std::string where = h.address + " adapter=" + adapter_.config().name;
        adapter_.say(d == Delivery::Delivered ? h.label + " " + where
                                              : h.label + " dropped " + where + " (not discovering)");
    }
}

// The kernel's duplicate filter, on for every scan unless a monitor was active when the scan
// began. bluetoothd starts the next scan as soon as one ends, so scans follow each other.
bool FakeDiscovery::duplicate(const std::string& address) {
    const std::optional<double>& scanS = adapter_.env().duplicateScanS;
    if (!scanS || *scanS <= 0)
        return false;
    double now = monotonicSeconds();
    if (now - scanStartS_ >= *scanS) {
        scanStartS_ += std::floor((now - scanStartS_) / *scanS) * *scanS;
        scanUnfiltered_ = adapter_.monitors().active();
        reportedThisScan_.clear();
    }
    if (scanUnfiltered_)
        return false;
    return !reportedThisScan_.insert(address).second;
}

// The filter bluetoothd hands the kernel for the discovering clients: none when one of them
// has none, else the lowest RSSI and every UUID.
std::string FakeDiscovery::kernelFilter() const {
    std::optional<int16_t> rssi;
    std::set<std::string> uuids;
    for (auto& [owner, client] : clients_) {
        if (!client.discovering)
            continue;
        if (!client.filter)
            return "none";
        if (client.filter->rssi && (!rssi || *client.filter->rssi < *rssi))
            rssi = client.filter->rssi;
        uuids.insert(client.filter->uuids.begin(), client.filter->uuids.end());
    }
    std::string key = rssi ? std::to_string(*rssi) : "-";
    for (auto& u : uuids)
        key += " " + u;
    return key;
}

bool FakeDiscovery::filterAccepts(const AdvertData& data) const {
    // BlueZ reports a device when any discovering client's filter lets it through.
    for (auto& [owner, client] : clients_) {
        if (!client.discovering)
            continue;
        if (!client.filter)
            return true;
        const DiscoveryFilter& f = *client.filter;
        if (f.transport == "bredr")
            continue;
        if (!f.uuids.empty() && std::none_of(f.uuids.begin(), f.uuids.end(), [&](const std::string& u) {
                return std::find(data.uuids.begin(), data.uuids.end(), u) != data.uuids.end();
            }))
            continue;
        if (f.rssi && data.rssi && *data.rssi < *f.rssi)
            continue;
        return true;
    }
    return false;
}

int FakeDiscovery::onStart(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeDiscovery*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->adapter_.config().name;
        if (!self->adapter_.config().powered) {
            self->adapter_.say("discovery refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        Client& client = self->clients_[sender];
        if (client.discovering) {
            self->adapter_.say("discovery refused" + where + " " + kInProgress);
            return sd_bus_error_set(error, kInProgress, kInProgressText);
        }
        client.discovering = true;
        // BlueZ answers the call first and then reports Discovering.
        int r = sd_bus_reply_method_return(m, "");
        self->adapter_.say("discovery start" + where);
        self->setDiscovering(true, false);
        self->deliverHeld();
        return r < 0 ? r : 1;
    });
}

int FakeDiscovery::onStop(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeDiscovery*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->adapter_.config().name;
        if (!self->adapter_.config().powered) {
            self->adapter_.say("discovery stop refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        auto it = self->clients_.find(sender);
        if (it == self->clients_.end() || !it->second.discovering) {
            self->adapter_.say("discovery stop refused" + where + " " + kFailed);
            return sd_bus_error_set(error, kFailed, "No discovery started");
        }
        self->clients_.erase(it);
        int r = sd_bus_reply_method_return(m, "");
        self->adapter_.say("discovery stop" + where);
        bool anyLeft = std::any_of(self->clients_.begin(), self->clients_.end(),
                                   [](auto& c) { return c.second.discovering; });
        if (!anyLeft) {
            self->restartingUntilS_ = monotonicSeconds() + 0.5;
            self->setDiscovering(false, false);
        }
        return r < 0 ? r : 1;
    });
}

int FakeDiscovery::onSetFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeDiscovery*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->adapter_.config().name;
        if (!self->adapter_.config().powered) {
            self->adapter_.say("filter refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        DiscoveryFilter filter;
        std::string shown;
        std::string problem;
        bool empty = true;
        int r = readDiscoveryFilter(m, filter, shown, problem, empty);
        if (r < 0)
            return r;
        if (!problem.empty()) {
            self->adapter_.say("filter refused" + where + " " + kInvalidArguments + " " + problem);
            return sd_bus_error_set(error, kInvalidArguments, kInvalidArgumentsText);
        }
        const std::string kernelBefore = self->kernelFilter();
        Client& client = self->clients_[sender];
        if (empty) {
            client.filter.reset();
            if (!client.discovering)
                self->clients_.erase(sender);
            self->adapter_.say("filter cleared" + where);
        } else {
            client.filter = std::move(filter);
            self->adapter_.say("filter " + sender + shown + " adapter=" + self->adapter_.config().name);
        }
        // bluetoothd restarts the kernel's scan when the merged filter changes while it
        // discovers, without ending anyone's discovery.
        if (self->discovering_ && self->kernelFilter() != kernelBefore) {
            self->newScan();
            self->adapter_.say("kernel scan restarted adapter=" + self->adapter_.config().name + " (filter changed)");
        }
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeDiscovery::onGetFilters(sd_bus_message* m, void*, sd_bus_error* error) {
    return guarded(error, [&] {
        return sd_bus_reply_method_return(m, "as", 7, "UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                          "Discoverable", "Pattern");
    });
}
}  // namespace brelo::fakebluez
