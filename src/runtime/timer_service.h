#pragma once

#include <functional>
#include <memory>

namespace brelo::runtime {

// A running repeating timer. Destroying the handle stops it; a tick never runs afterwards.
class Timer {
public:
    virtual ~Timer() = default;
};

// Repeating timers on the main loop. A timer keeps a fixed schedule from its creation:
// the first tick comes one interval after creation, each later one an interval after the
// previous due time. Ticks missed while the loop was busy are skipped, never replayed
// in a burst.
class TimerService {
public:
    virtual ~TimerService() = default;
    virtual std::unique_ptr<Timer> repeating(double intervalS, std::function<void()> tick) = 0;
};

// The next due time of a repeating timer that was due at `due` and fires at `now`:
// the first point of the schedule due + k * interval (k >= 1) that lies after now.
double nextDueTime(double due, double intervalS, double now);

}  // namespace brelo::runtime
