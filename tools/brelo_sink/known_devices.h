#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace brelo::sink {

// What the server now knows of one device: the newest record of it that was accepted.
struct KnownDevice {
    std::string id;
    std::string name;      // the latest non-empty name
    int64_t rssi = 0;      // "rssi" of the newest record
    std::string listener;  // "listener" of the newest record; empty for an ordinary device
    double lastSeen = 0;   // "ts" of the newest record, seconds since 1970
    std::string heardBy;   // "node" of the upload that carried the newest record
    uint64_t packets = 0;  // sum of "packets" over every accepted record
};

// The devices the server knows, keyed by "id", at most `capacity` of them: when a new one
// would overflow the table the one seen longest ago goes, so a long run with rotating
// addresses keeps a bounded table.
class KnownDevices {
public:
    explicit KnownDevices(size_t capacity);

    // Takes in every record of an accepted (checked) upload body. A replayed record older
    // than what is known of its device adds its packets but does not roll the device back.
    void add(const nlohmann::json& body);

    size_t size() const { return devices_.size(); }
    uint64_t evicted() const { return evicted_; }
    std::vector<KnownDevice> newestFirst() const;

    nlohmann::json toJson() const;
    // A table for people: up to `rows` devices, newest first, ages measured from now.
    std::string render(double now, size_t rows) const;

private:
    void evictOldest();

    size_t capacity_;
    uint64_t evicted_ = 0;
    std::unordered_map<std::string, KnownDevice> devices_;
};

}  // namespace brelo::sink
