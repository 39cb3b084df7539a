#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "runtime/clock.h"
#include "runtime/timer_service.h"

namespace brelo::test {

// Time driven by hand: a wall clock and repeating timers that follow the same schedule
// rules as the real loop (fixed phase, missed ticks skipped). Tests advance it explicitly.
class ManualTime final : public runtime::Clock, public runtime::TimerService {
public:
    explicit ManualTime(double wallStart = 1.7e9) : wallOffset_(wallStart) {}

    double now() const override { return monotonic_ + wallOffset_; }
    std::unique_ptr<runtime::Timer> repeating(double intervalS, std::function<void()> tick) override;

    // Lets time pass, firing every tick that falls due on the way, in order.
    void advance(double seconds);
    // The loop is stuck for this long: no tick fires meanwhile; afterwards each overdue timer
    // fires once and resumes its schedule, skipping the ticks it missed.
    void busy(double seconds);
    // Moves the wall clock alone (someone set the system clock); timers are not affected.
    void shiftWallClock(double seconds) { wallOffset_ += seconds; }

private:
    struct Entry {
        double intervalS;
        double due;
        std::function<void()> tick;
        bool alive = true;
    };
    class Handle;
    void fireDue(double upTo);

    double monotonic_ = 0;
    double wallOffset_;
    std::vector<std::shared_ptr<Entry>> timers_;
};

}  // namespace brelo::test
