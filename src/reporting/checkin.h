#pragma once

#include <string_view>

namespace brelo::reporting {

inline constexpr double checkInIntervalS = 10.0;

// Whether a check-in at `now` reports `status`: a node that cannot listen says so every
// time; a listening one only needs a sign of life when nothing went out for checkInIntervalS.
// A lastSent in the future (the clock was set back) gives no heartbeat until it has passed.
inline bool checkInDue(std::string_view status, double now, double lastSent) {
    return status != "listening" || now - lastSent >= checkInIntervalS;
}

}  // namespace brelo::reporting
