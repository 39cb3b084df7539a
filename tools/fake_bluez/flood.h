#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "fake_device.h"
#include "runtime/event_loop.h"

namespace brelo::fakebluez {

// Benchmark traffic: `rate` advertisements per second spread round-robin over `devices`
// remote devices, each with a fresh RSSI and changed manufacturer data, paced by a loop
// timer against the monotonic clock (never a sleep). Ends after a count or a duration, or
// runs until destroyed.
class Flood {
public:
    // send returns whether the advertisement went out (false: not discovering).
    using Send = std::function<bool(const std::string& address, const AdvertData& data)>;
    // Called from the loop (never from inside a tick) once the flood has ended by itself.
    using Done = std::function<void(uint64_t sent, uint64_t dropped)>;
    // Messages written to the bus connection but not yet taken by the daemon.
    using Backlog = std::function<uint64_t()>;

    Flood(runtime::EventLoop& loop, int64_t rate, int64_t devices, std::optional<double> seconds,
          std::optional<int64_t> count, Send send, Done done, Backlog backlog);

    uint64_t sent() const { return sent_; }
    uint64_t dropped() const { return dropped_; }
    bool finished() const { return finished_; }

    static std::string addressOf(int64_t index);

private:
    void tick();

    runtime::EventLoop& loop_;
    int64_t rate_;
    int64_t devices_;
    std::optional<double> seconds_;
    std::optional<int64_t> count_;
    Send send_;
    Done done_;
    Backlog backlog_;
    double start_;
    uint64_t attempted_ = 0;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
    bool finished_ = false;
    std::minstd_rand random_{12345};
    std::unique_ptr<runtime::Timer> timer_;
};

}  // namespace brelo::fakebluez
