#include "known_devices.h"

#include <algorithm>
#include <cstdio>

#include "printable.h"

namespace brelo::sink {
namespace {

std::string stringAt(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <class T>
T numberAt(const nlohmann::json& object, const char* key, T fallback) {
    auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<T>() : fallback;
}

std::string age(double seconds) {
    if (seconds < 0)
        seconds = 0;
    if (seconds < 120)
        return std::to_string(static_cast<long>(seconds)) + "s ago";
    if (seconds < 7200)
        return std::to_string(static_cast<long>(seconds / 60)) + "m ago";
    return std::to_string(static_cast<long>(seconds / 3600)) + "h ago";
}

}  // namespace

KnownDevices::KnownDevices(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

void KnownDevices::add(const nlohmann::json& body) {
    auto devices = body.find("devices");
    if (!body.is_object() || devices == body.end() || !devices->is_array())
        return;
    std::string node = stringAt(body, "node");
    for (const auto& rec : *devices) {
        if (!rec.is_object())
            continue;
        std::string id = stringAt(rec, "id");
        if (id.empty())
            continue;
        auto it = devices_.find(id);
        if (it == devices_.end()) {
            if (devices_.size() >= capacity_)
                evictOldest();
            KnownDevice fresh;
            fresh.id = id;
            fresh.lastSeen = -1;
            it = devices_.emplace(id, std::move(fresh)).first;
        }
        KnownDevice& known = it->second;
        known.packets += numberAt<uint64_t>(rec, "packets", 0);
        double ts = numberAt<double>(rec, "ts", 0);
        if (ts < known.lastSeen)
            continue;
        known.lastSeen = ts;
        known.rssi = numberAt<int64_t>(rec, "rssi", 0);
        known.listener = stringAt(rec, "listener");
        known.heardBy = node;
        if (std::string name = stringAt(rec, "name"); !name.empty())
            known.name = std::move(name);
    }
}

void KnownDevices::evictOldest() {
    auto oldest = std::min_element(devices_.begin(), devices_.end(),
                                   [](const auto& a, const auto& b) { return a.second.lastSeen < b.second.lastSeen; });
    if (oldest != devices_.end()) {
        devices_.erase(oldest);
        ++evicted_;
    }
}

std::vector<KnownDevice> KnownDevices::newestFirst() const {
    std::vector<KnownDevice> list;
    list.reserve(devices_.size());
    for (const auto& [id, known] : devices_)
        list.push_back(known);
    std::sort(list.begin(), list.end(), [](const KnownDevice& a, const KnownDevice& b) {
        return a.lastSeen != b.lastSeen ? a.lastSeen > b.lastSeen : a.id < b.id;
    });
    return list;
}

nlohmann::json KnownDevices::toJson() const {
    auto list = nlohmann::json::array();
    for (const auto& d : newestFirst()) {
        nlohmann::json entry = {{"id", d.id},           {"name", d.name},       {"rssi", d.rssi},
                                {"last_seen", d.lastSeen}, {"heard_by", d.heardBy}, {"packets", d.packets}};
        if (!d.listener.empty())
            entry["listener"] = d.listener;
        list.push_back(std::move(entry));
    }
    return {{"devices", std::move(list)}, {"evicted", evicted_}};
}

std::string KnownDevices::render(double now, size_t rows) const {
    auto list = newestFirst();
    size_t listeners = static_cast<size_t>(
        std::count_if(list.begin(), list.end(), [](const KnownDevice& d) { return !d.listener.empty(); }));
    std::string out = "the server knows " + std::to_string(list.size()) + " device" + (list.size() == 1 ? "" : "s") +
                      " (" + std::to_string(listeners) + " listener" + (listeners == 1 ? "" : "s") + ")\n";
    char line[256];
    std::snprintf(line, sizeof line, "  %-36s  %-22s %5s  %-12s %8s  %9s  %s\n", "id", "name", "rssi", "listener",
                  "packets", "seen", "heard by");
    out += line;
    size_t shown = 0;
    for (const auto& d : list) {
        if (shown++ == rows) {
            out += "  ... and " + std::to_string(list.size() - rows) + " more\n";
            break;
        }
        std::snprintf(line, sizeof line, "  %-36s  %-22s %5lld  %-12s %8llu  %9s  %s\n", printable(d.id, 36).c_str(),
                      printable(d.name, 20).c_str(), static_cast<long long>(d.rssi),
                      printable(d.listener, 12).c_str(), static_cast<unsigned long long>(d.packets),
                      age(now - d.lastSeen).c_str(), printable(d.heardBy, 20).c_str());
        out += line;
    }
    return out;
}

}  // namespace brelo::sink
