#include "fake_adapter.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>

#include "adapter_support.h"
#include "script.h"

namespace brelo::fakebluez {

void FakeAdapter::setDiscovering(bool on, bool alsoPowered) {
    bool changed = discovering_ != on;
    discovering_ = on;
    if (changed && on) {
        // A new kernel scan: its duplicate list starts empty.
        scanStartS_ = monotonicSeconds();
        scanUnfiltered_ = monitorActive();
        reportedThisScan_.clear();
    }
    if (alsoPowered && changed)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", "Discovering", nullptr);
    else if (alsoPowered)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Powered", nullptr);
    else if (changed)
        sd_bus_emit_properties_changed(env_.bus, path_.c_str(), kAdapterInterface, "Discovering", nullptr);
    if (changed && !on)
        for (auto& [address, device] : devices_)
            device->invalidateSignal();
}

void FakeAdapter::endDiscovery(const char* reason) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second.discovering) {
            say("discovery stop " + it->first + " adapter=" + config_.name + " (" + reason + ")");
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
    setDiscovering(false, false);
}

void FakeAdapter::stopDiscoveryByItself() {
    if (!discovering_) {
        say("discovery not running adapter=" + config_.name);
        return;
    }
    endDiscovery("stopped by bluez");
}

void FakeAdapter::deliverHeld() {
    bool late = monotonicSeconds() > restartingUntilS_;
    restartingUntilS_ = 0;
    std::vector<Held> held = std::move(held_);
    held_.clear();
    for (auto& h : held) {
        Delivery d = late ? Delivery::NotDiscovering : advert(h.address, h.data);
        if (h.label.empty())
            continue;
        std::string where = h.address + " adapter=" + config_.name;
        say(d == Delivery::Delivered ? h.label + " " + where : h.label + " dropped " + where + " (not discovering)");
    }
}

// The kernel's duplicate filter, on for every scan unless a monitor was active when the scan
// began. bluetoothd starts the next scan as soon as one ends, so scans follow each other.
bool FakeAdapter::duplicate(const std::string& address) {
    if (!env_.duplicateScanS || *env_.duplicateScanS <= 0)
        return false;
    double now = monotonicSeconds();
    if (now - scanStartS_ >= *env_.duplicateScanS) {
        scanStartS_ += std::floor((now - scanStartS_) / *env_.duplicateScanS) * *env_.duplicateScanS;
        scanUnfiltered_ = monitorActive();
        reportedThisScan_.clear();
    }
    if (scanUnfiltered_)
        return false;
    return !reportedThisScan_.insert(address).second;
}

// The filter bluetoothd hands the kernel for the discovering clients: none when one of them
// has none, else the lowest RSSI and every UUID.
std::string FakeAdapter::kernelFilter() const {
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

bool FakeAdapter::filterAccepts(const AdvertData& data) const {
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

int FakeAdapter::onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("discovery refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        DiscoveryClient& client = self->clients_[sender];
        if (client.discovering) {
            self->say("discovery refused" + where + " " + kInProgress);
            return sd_bus_error_set(error, kInProgress, kInProgressText);
        }
        client.discovering = true;
        // BlueZ answers the call first and then reports Discovering.
        int r = sd_bus_reply_method_return(m, "");
        self->say("discovery start" + where);
        self->setDiscovering(true, false);
        self->deliverHeld();
        return r < 0 ? r : 1;
    });
}

int FakeAdapter::onStopDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("discovery stop refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        auto it = self->clients_.find(sender);
        if (it == self->clients_.end() || !it->second.discovering) {
            self->say("discovery stop refused" + where + " " + kFailed);
            return sd_bus_error_set(error, kFailed, "No discovery started");
        }
        self->clients_.erase(it);
        int r = sd_bus_reply_method_return(m, "");
        self->say("discovery stop" + where);
        bool anyLeft = std::any_of(self->clients_.begin(), self->clients_.end(),
                                   [](auto& c) { return c.second.discovering; });
        if (!anyLeft) {
            self->restartingUntilS_ = monotonicSeconds() + 0.5;
            self->setDiscovering(false, false);
        }
        return r < 0 ? r : 1;
    });
}

int FakeAdapter::onSetDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeAdapter*>(userdata);
    return guarded(error, [&] {
        std::string sender = senderOf(m);
        std::string where = " " + sender + " adapter=" + self->config_.name;
        if (!self->config_.powered) {
            self->say("filter refused" + where + " " + kNotReady);
            return sd_bus_error_set(error, kNotReady, kNotReadyText);
        }
        DiscoveryFilter filter;
        std::string shown;
        std::string problem;
        bool empty = true;
        int r = sd_bus_message_enter_container(m, 'a', "{sv}");
        if (r < 0)
            return r;
        while (problem.empty() && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            empty = false;
            const char* keyRaw = nullptr;
            if ((r = sd_bus_message_read(m, "s", &keyRaw)) < 0)
                return r;
            std::string key = keyRaw;
            std::string sig = variantSignature(m);
            auto expect = [&](const char* type) {
                if (sig != type)
                    problem = key + " has type " + sig + ", expected " + type;
                return problem.empty();
            };
            if (key == "Transport") {
                const char* v = nullptr;
                if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                    filter.transport = v;
                    if (filter.transport != "auto" && filter.transport != "le" && filter.transport != "bredr")
                        problem = "Transport '" + filter.transport + "' is not auto, le or bredr";
                    shown += " Transport=" + filter.transport;
                }
            } else if (key == "DuplicateData" || key == "Discoverable") {
                int v = 0;
                if (expect("b") && (r = sd_bus_message_read(m, "v", "b", &v)) >= 0) {
                    (key == "DuplicateData" ? filter.duplicateData : filter.discoverable) = v != 0;
                    shown += " " + key + (v ? "=true" : "=false");
                }
            } else if (key == "RSSI") {
                int16_t v = 0;
                if (expect("n") && (r = sd_bus_message_read(m, "v", "n", &v)) >= 0) {
                    filter.rssi = v;
                    if (v < -127 || v > 20)
                        problem = "RSSI " + std::to_string(v) + " is outside -127..20";
                    shown += " RSSI=" + std::to_string(v);
                }
            } else if (key == "Pathloss") {
                uint16_t v = 0;
                if (expect("q") && (r = sd_bus_message_read(m, "v", "q", &v)) >= 0) {
                    filter.pathloss = v;
                    if (v > 137)
                        problem = "Pathloss " + std::to_string(v) + " is above 137";
                    shown += " Pathloss=" + std::to_string(v);
                }
            } else if (key == "UUIDs") {
                std::vector<std::string> uuids;
                if (expect("as") && (r = readStrings(m, uuids)) >= 0) {
                    for (auto& u : uuids) {
                        auto full = fullUuid(u);
                        if (!full)
                            problem = "UUIDs holds '" + u + "', which is not a UUID";
                        else
                            filter.uuids.push_back(*full);
                    }
                    shown += " UUIDs=" + joined(uuids);
                }
            } else if (key == "Pattern") {
                const char* v = nullptr;
                if (expect("s") && (r = sd_bus_message_read(m, "v", "s", &v)) >= 0) {
                    filter.pattern = v;
                    shown += " Pattern=" + quoteIfSpaced(v);
                }
            } else {
                problem = "unknown key " + key;
            }
            if (r < 0)
                return r;
            if (problem.empty() && (r = sd_bus_message_exit_container(m)) < 0)
                return r;
        }
        if (r < 0)
            return r;
        if (problem.empty() && filter.rssi && filter.pathloss)
            problem = "RSSI and Pathloss together";
        if (!problem.empty()) {
            self->say("filter refused" + where + " " + kInvalidArguments + " " + problem);
            return sd_bus_error_set(error, kInvalidArguments, kInvalidArgumentsText);
        }
        const std::string kernelBefore = self->kernelFilter();
        DiscoveryClient& client = self->clients_[sender];
        if (empty) {
            client.filter.reset();
            if (!client.discovering)
                self->clients_.erase(sender);
            self->say("filter cleared" + where);
        } else {
            client.filter = std::move(filter);
            self->say("filter " + sender + shown + " adapter=" + self->config_.name);
        }
        // bluetoothd restarts the kernel's scan when the merged filter changes while it
        // discovers, without ending anyone's discovery.
        if (self->discovering_ && self->kernelFilter() != kernelBefore) {
            self->scanStartS_ = monotonicSeconds();
            self->scanUnfiltered_ = self->monitorActive();
            self->reportedThisScan_.clear();
            self->say("kernel scan restarted adapter=" + self->config_.name + " (filter changed)");
        }
        return sd_bus_reply_method_return(m, "");
    });
}

int FakeAdapter::onGetDiscoveryFilters(sd_bus_message* m, void*, sd_bus_error* error) {
    return guarded(error, [&] {
        return sd_bus_reply_method_return(m, "as", 7, "UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                          "Discoverable", "Pattern");
    });
}
}  // namespace brelo::fakebluez
