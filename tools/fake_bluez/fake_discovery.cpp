#include "fake_discovery.h"

#include <algorithm>
#include <cmath>

#include "fake_adapter.h"
#include "script.h"

namespace brelo::fakebluez {
namespace {

constexpr const char* kNotReady = "org.bluez.Error.NotReady";
constexpr const char* kNotReadyText = "Resource Not Ready";

}  // namespace

std::string FakeDiscovery::where(const std::string& owner) const {
    return " " + owner + " adapter=" + adapter_.config().name;
}

void FakeDiscovery::newScan() {
    scanStartS_ = adapter_.env().loop->monotonicNow();
    reportedThisScan_.clear();
}

void FakeDiscovery::setDiscovering(bool on) {
    if (discovering_ == on)
        return;
    discovering_ = on;
    if (on)
        newScan();
    emitPropertiesChanged(adapter_.env().bus, adapter_.path(), kAdapterInterface, {{"Discovering", on}});
    if (!on)
        adapter_.devices().invalidateSignals();
}

void FakeDiscovery::endSessions(const std::string& reason) {
    for (auto& [owner, client] : clients_)
        if (client.discovering)
            adapter_.say("discovery stop" + where(owner) + " (" + reason + ")");
    clients_.clear();
}

void FakeDiscovery::poweredOff() {
    endSessions("powered off");
    discovering_ = false;
}

void FakeDiscovery::stopByItself() {
    if (!discovering_)
        return adapter_.say("discovery not running adapter=" + adapter_.config().name);
    endSessions("stopped by bluez");
    setDiscovering(false);
}

void FakeDiscovery::forgetClient(const std::string& owner) {
    auto it = clients_.find(owner);
    if (it == clients_.end())
        return;
    const bool was = it->second.discovering;
    clients_.erase(it);
    if (!was)
        return;
    adapter_.say("discovery stop" + where(owner) + " (client gone)");
    if (!anyDiscovering())
        setDiscovering(false);
}

std::optional<Delivery> FakeDiscovery::gate(const std::string& address, const AdvertData& data) {
    if (!adapter_.config().powered || !discovering_)
        return Delivery::NotDiscovering;
    if (!accepts(data))
        return Delivery::Filtered;
    // The kernel's duplicate filter; bluetoothd starts the next scan as soon as one ends.
    const std::optional<double>& scanS = adapter_.env().duplicateScanS;
    if (!scanS || *scanS <= 0)
        return std::nullopt;
    const double now = adapter_.env().loop->monotonicNow();
    if (now - scanStartS_ >= *scanS) {
        scanStartS_ += std::floor((now - scanStartS_) / *scanS) * *scanS;
        reportedThisScan_.clear();
    }
    return reportedThisScan_.insert(address).second ? std::nullopt : std::optional(Delivery::Duplicate);
}

// BlueZ reports a device when any discovering client's filter lets it through.
bool FakeDiscovery::accepts(const AdvertData& data) const {
    return std::any_of(clients_.begin(), clients_.end(), [&](auto& entry) {
        const Client& client = entry.second;
        if (!client.discovering || !client.filter)
            return client.discovering;
        const Filter& f = *client.filter;
        auto heard = [&](const std::string& u) {
            return std::find(data.uuids.begin(), data.uuids.end(), u) != data.uuids.end();
        };
        return !f.bredrOnly && (f.uuids.empty() || std::any_of(f.uuids.begin(), f.uuids.end(), heard)) &&
               !(f.rssi && data.rssi && *data.rssi < *f.rssi);
    });
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

int FakeDiscovery::start(sd_bus_message* m, sd_bus_error* error) {
    const std::string sender = senderOf(m);
    if (!adapter_.config().powered) {
        adapter_.say("discovery refused" + where(sender) + " " + kNotReady);
        return sd_bus_error_set(error, kNotReady, kNotReadyText);
    }
    Client& client = clients_[sender];
    if (client.discovering) {
        adapter_.say("discovery refused" + where(sender) + " org.bluez.Error.InProgress");
        return sd_bus_error_set(error, "org.bluez.Error.InProgress", "Operation already in progress");
    }
    client.discovering = true;
    // BlueZ answers the call first and then reports Discovering.
    int r = sd_bus_reply_method_return(m, "");
    adapter_.say("discovery start" + where(sender));
    setDiscovering(true);
    return r < 0 ? r : 1;
}

int FakeDiscovery::stop(sd_bus_message* m, sd_bus_error* error) {
    const std::string sender = senderOf(m);
    if (!adapter_.config().powered) {
        adapter_.say("discovery stop refused" + where(sender) + " " + kNotReady);
        return sd_bus_error_set(error, kNotReady, kNotReadyText);
    }
    auto it = clients_.find(sender);
    if (it == clients_.end() || !it->second.discovering) {
        adapter_.say("discovery stop refused" + where(sender) + " org.bluez.Error.Failed");
        return sd_bus_error_set(error, "org.bluez.Error.Failed", "No discovery started");
    }
    clients_.erase(it);
    int r = sd_bus_reply_method_return(m, "");
    adapter_.say("discovery stop" + where(sender));
    if (!anyDiscovering())
        setDiscovering(false);
    return r < 0 ? r : 1;
}

int FakeDiscovery::setFilter(sd_bus_message* m, sd_bus_error* error) {
    const std::string sender = senderOf(m);
    if (!adapter_.config().powered) {
        adapter_.say("filter refused" + where(sender) + " " + kNotReady);
        return sd_bus_error_set(error, kNotReady, kNotReadyText);
    }
    Entries entries;
    if (int r = readEntries(m, entries); r < 0)
        return r;
    static const std::map<std::string, std::string> kTypes = {
        {"UUIDs", "as"},         {"RSSI", "n"},         {"Pathloss", "q"}, {"Transport", "s"},
        {"DuplicateData", "b"}, {"Discoverable", "b"}, {"Pattern", "s"},
    };
    Filter filter;
    std::string text;
    std::string problem;
    bool pathloss = false;
    for (auto& [key, entry] : entries) {
        auto type = kTypes.find(key);
        if (type == kTypes.end()) {
            problem = "unknown key " + key;
        } else if (type->second != entry.signature || !entry.value) {
            problem = key + " has type " + entry.signature + ", expected " + type->second;
        } else if (key == "RSSI") {
            filter.rssi = std::get<int16_t>(*entry.value);
            if (*filter.rssi < -127 || *filter.rssi > 20)
                problem = "RSSI " + std::to_string(*filter.rssi) + " is outside -127..20";
        } else if (key == "Pathloss") {
            pathloss = true;
            if (std::get<uint16_t>(*entry.value) > 137)
                problem = "Pathloss is above 137";
        } else if (key == "Transport") {
            const auto& transport = std::get<std::string>(*entry.value);
            filter.bredrOnly = transport == "bredr";
            if (transport != "auto" && transport != "le" && transport != "bredr")
                problem = "Transport '" + transport + "' is not auto, le or bredr";
        } else if (key == "UUIDs") {
            for (auto& u : std::get<Strings>(*entry.value)) {
                if (auto full = fullUuid(u))
                    filter.uuids.push_back(*full);
                else
                    problem = "UUIDs holds '" + u + "', which is not a UUID";
            }
        }
        if (!problem.empty())
            break;
        text += " " + key + "=" + shown(*entry.value);
    }
    if (problem.empty() && filter.rssi && pathloss)
        problem = "RSSI and Pathloss together";
    if (!problem.empty()) {
        adapter_.say("filter refused" + where(sender) + " org.bluez.Error.InvalidArguments " + problem);
        return sd_bus_error_set(error, "org.bluez.Error.InvalidArguments", "Invalid arguments in method call");
    }
    const std::string kernelBefore = kernelFilter();
    Client& client = clients_[sender];
    if (entries.empty()) {
        client.filter.reset();
        if (!client.discovering)
            clients_.erase(sender);
        adapter_.say("filter cleared" + where(sender));
    } else {
        client.filter = std::move(filter);
        adapter_.say("filter " + sender + text + " adapter=" + adapter_.config().name);
    }
    // bluetoothd restarts the kernel's scan when the merged filter changes while it
    // discovers, without ending anyone's discovery.
    if (discovering_ && kernelFilter() != kernelBefore) {
        newScan();
        adapter_.say("kernel scan restarted adapter=" + adapter_.config().name + " (filter changed)");
    }
    return sd_bus_reply_method_return(m, "");
}

}  // namespace brelo::fakebluez
