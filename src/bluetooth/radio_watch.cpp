#include "bluetooth/radio_watch.h"

#include <algorithm>
#include <cmath>

#include "runtime/log_writer.h"

namespace brelo::bluetooth {
namespace {

std::string seconds(double s) { return std::to_string(static_cast<long>(std::lround(s))) + " s"; }

std::string minutes(double s) { return std::to_string(static_cast<long>(std::lround(s / 60))) + " min"; }

}  // namespace

void RadioWatch::heard(double now) {
    if (step_ != Step::hearing) {
        brelo::log(std::string("radio hears again after ") +
            (cycles_ ? "power-cycling the adapter" : "restarting discovery") + " (silent " +
            seconds(now - lastHeardS_) + ")");
    }
    step_ = Step::hearing;
    heardAny_ = true;
    lastHeardS_ = now;
    stepSinceS_.reset();
    cycles_ = 0;
}

void RadioWatch::reset() {
    step_ = Step::hearing;
    heardAny_ = false;
    stepSinceS_.reset();
    cycles_ = 0;
}

RadioWatch::Action RadioWatch::check(double now, const std::string& adapter) {
    if (!heardAny_)
        return Action::none;
    // A step is judged from the first check after it, when discovery runs again.
    if (!stepSinceS_)
        stepSinceS_ = now;
    switch (step_) {
    case Step::hearing:
        if (now - lastHeardS_ < timings_.silenceS)
            return Action::none;
        step_ = Step::restarted;
        stepSinceS_.reset();
        brelo::log("radio silent for " + seconds(now - lastHeardS_) + " while discovering: restarting discovery",
            LogPriority::warning);
        return Action::restartDiscovery;
    case Step::restarted:
        if (now - *stepSinceS_ < timings_.confirmS)
            return Action::none;
        if (lastCycleS_ && now - *lastCycleS_ < timings_.cycleGapS) {
            step_ = Step::slow;
            nextCycleS_ = *lastCycleS_ + timings_.cycleGapS;
            brelo::log("radio still silent, power-cycled " + seconds(now - *lastCycleS_) +
                           " ago: next power cycle in " + minutes(nextCycleS_ - now),
                       LogPriority::error);
            return Action::none;
        }
        break;
    case Step::powerCycled:
        if (now - *stepSinceS_ < timings_.confirmS)
            return Action::none;
        slowDown(now, "after power-cycling " + adapter);
        return Action::none;
    case Step::slow:
        if (now < nextCycleS_)
            return Action::none;
        break;
    }
    step_ = Step::powerCycled;
    stepSinceS_.reset();
    lastCycleS_ = now;
    ++cycles_;
    brelo::log("radio still silent (" + seconds(now - lastHeardS_) + "): power-cycling " + adapter, LogPriority::warning);
    return Action::powerCycle;
}

void RadioWatch::powerCycleFailed(double now, const std::string& reason) {
    slowDown(now, "the power cycle failed: " + reason);
}

void RadioWatch::slowDown(double now, const std::string& why) {
    // The first fruitless cycle of this silence waits slowFirstS; each later one twice as long.
    slowDelayS_ = cycles_ > 1 ? std::min(slowDelayS_ * 2, timings_.slowMaxS) : timings_.slowFirstS;
    step_ = Step::slow;
    nextCycleS_ = now + slowDelayS_;
    brelo::log("radio still silent, " + why + ": next power cycle in " + minutes(slowDelayS_), LogPriority::error);
}

std::string RadioWatch::describe(double now) const {
    switch (step_) {
    case Step::hearing:
        return "";
    case Step::restarted:
        return "radio silent " + seconds(now - lastHeardS_) + ", discovery restarted";
    case Step::powerCycled:
        return "radio silent " + seconds(now - lastHeardS_) + ", adapter power-cycled";
    case Step::slow:
        return "radio silent " + minutes(now - lastHeardS_) + ", next power cycle in " +
               minutes(std::max(0.0, nextCycleS_ - now));
    }
    return "";
}

}  // namespace brelo::bluetooth
