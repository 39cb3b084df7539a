#include "flood.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brelo::fakebluez {
namespace {

constexpr double kTickS = 0.005;
// A company identifier that no real house device uses in tests.
constexpr uint16_t kFloodCompany = 0xFFFF;
// At most this many adverts per tick, then back to the loop so the connection can drain.
constexpr uint64_t kMaxPerTick = 2000;
// While the daemon has not taken this many of our messages, wait: outrunning the bus only
// piles messages up in memory (and sd-bus refuses new ones past its own limit).
constexpr uint64_t kMaxBacklog = 20000;

}  // namespace

Flood::Flood(runtime::EventLoop& loop, int64_t rate, int64_t devices, std::optional<double> seconds,
             std::optional<int64_t> count, Send send, Done done, Backlog backlog)
    : loop_(loop), rate_(rate), devices_(devices), seconds_(seconds), count_(count), send_(std::move(send)),
      done_(std::move(done)), backlog_(std::move(backlog)), start_(loop.monotonicNow()) {
    timer_ = loop_.repeating(kTickS, [this] { tick(); });
}

std::string Flood::addressOf(int64_t index) {
    char text[18];
    std::snprintf(text, sizeof text, "F0:00:00:%02X:%02X:%02X", static_cast<unsigned>((index >> 16) & 0xff),
                  static_cast<unsigned>((index >> 8) & 0xff), static_cast<unsigned>(index & 0xff));
    return text;
}

void Flood::tick() {
    if (finished_)
        return;
    double elapsed = loop_.monotonicNow() - start_;
    bool timeUp = seconds_ && elapsed >= *seconds_;
    double until = timeUp ? *seconds_ : elapsed;
    auto target = static_cast<uint64_t>(std::floor(static_cast<double>(rate_) * until));
    if (count_)
        target = std::min<uint64_t>(target, static_cast<uint64_t>(*count_));
    // After a stall, catch up by at most a tenth of a second's worth per tick rather than
    // in one burst that would hide how the client copes with a steady rate.
    uint64_t burst = std::min<uint64_t>(static_cast<uint64_t>(rate_ / 10 + 1), kMaxPerTick);
    if (backlog_ && backlog_() > kMaxBacklog)
        burst = 0;
    uint64_t limit = std::min(target, attempted_ + burst);
    std::uniform_int_distribution<int> rssi(-90, -40);
    while (attempted_ < limit) {
        int64_t index = static_cast<int64_t>(attempted_ % static_cast<uint64_t>(devices_));
        AdvertData data;
        data.rssi = static_cast<int16_t>(rssi(random_));
        uint32_t n = static_cast<uint32_t>(attempted_);
        data.manufacturerData[kFloodCompany] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                                static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
        ++attempted_;
        if (send_(addressOf(index), data))
            ++sent_;
        else
            ++dropped_;
    }
    bool countReached = count_ && attempted_ >= static_cast<uint64_t>(*count_);
    // A timed flood that could not keep up ends on time all the same, with what it sent.
    if (timeUp || countReached) {
        finished_ = true;
        uint64_t sent = sent_;
        uint64_t dropped = dropped_;
        loop_.defer([done = done_, sent, dropped] { done(sent, dropped); });
    }
}

}  // namespace brelo::fakebluez
