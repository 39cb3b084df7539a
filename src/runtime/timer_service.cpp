#include "runtime/timer_service.h"

#include <cmath>

namespace brelo::runtime {

double nextDueTime(double due, double intervalS, double now) {
    double next = due + intervalS;
    if (next > now || intervalS <= 0)
        return next;
    // The loop was busy past one or more ticks: skip them and keep the phase.
    double missed = std::floor((now - next) / intervalS) + 1;
    next += missed * intervalS;
    return next > now ? next : next + intervalS;
}

}  // namespace brelo::runtime
