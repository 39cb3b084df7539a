#pragma once

namespace brelo::runtime {

// Wall-clock time as seconds since 1970-01-01 00:00:00 UTC, with fraction.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

// A time long before any real one (the year 1), for "never happened yet".
inline constexpr double kDistantPast = -62135596800.0;

class SystemClock final : public Clock {
public:
    double now() const override;
};

}  // namespace brelo::runtime
