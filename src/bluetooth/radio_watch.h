#pragma once

// Judges a radio that stopped reporting while discovery runs on a powered adapter, and says
// what to try next. Some controllers (Raspberry Pis in crowded rooms, above all) keep
// answering commands and keep "scanning" while they hand over no advertisement until they
// are reset; a restart of discovery brings some back, a power cycle (which resets the
// controller) brings back more.
//
// An empty room is silent too, so silence alone proves nothing. The evidence of a wedge is
// silence that follows devices being heard, lasting silenceS, and not ended by a restart of
// discovery within confirmS. Only then is the adapter power-cycled, at most once every
// cycleGapS. If a power cycle brings nothing back within confirmS either, the room may simply
// have emptied: the next power cycles come at a slow pace, slowFirstS and then twice as long
// each time up to slowMaxS. Anything heard ends the ladder. A radio that was never heard
// since the adapter came up is never touched.

#include <optional>
#include <string>

namespace brelo::bluetooth {

struct RadioWatchTimings {
    double silenceS = 45.0;
    double confirmS = 15.0;
    double cycleGapS = 300.0;
    double slowFirstS = 600.0;
    double slowMaxS = 3600.0;
};

class RadioWatch {
public:
    enum class Action { none, restartDiscovery, powerCycle };

    explicit RadioWatch(RadioWatchTimings timings = {}) : timings_(timings) {}

    // An advertisement arrived. now: monotonic seconds, as for every time here.
    void heard(double now);
    // The adapter, bluetoothd or the user changed the radio's state: nothing heard before
    // counts as evidence any more.
    void reset();
    // Called now and then while discovery runs on a powered adapter (adapter: its name, for
    // the log). Writes a log line for each step it asks for.
    Action check(double now, const std::string& adapter);
    // The power cycle asked for could not be made: the ladder goes on at the slow pace.
    void powerCycleFailed(double now, const std::string& reason);
    // For systemd's status line: empty while the radio hears.
    std::string describe(double now) const;

private:
    enum class Step { hearing, restarted, powerCycled, slow };
    void slowDown(double now, const std::string& why);

    RadioWatchTimings timings_;
    Step step_ = Step::hearing;
    bool heardAny_ = false;
    double lastHeardS_ = 0;
    std::optional<double> stepSinceS_;  // when the current step began to be judged
    std::optional<double> lastCycleS_;
    double slowDelayS_ = 0;
    double nextCycleS_ = 0;
    int cycles_ = 0;  // power cycles in this silence
};

}  // namespace brelo::bluetooth
