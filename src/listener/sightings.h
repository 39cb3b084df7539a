#pragma once

#include <cstddef>

#include "bluetooth/platform.h"
#include "listener/names_cache.h"
#include "listener/seen.h"
#include "reporting/record_texts.h"

namespace brelo::listener {

// What the listener heard in the current report window, one Seen per device, and the names
// heard lately (a device names itself in some advertisements only). Readings outside
// -109..-1 dBm are not signal strengths and are dropped with the rest of their report.
class Sightings {
public:
    static constexpr size_t namesMax = 10000;

    void hear(const bluetooth::Advertisement& advertisement);
    // The window's device records, stamped `now`; the window starts afresh.
    reporting::RecordTexts take(double now);

    const reporting::Window& window() const { return window_; }
    const NamesCache& names() const { return names_; }

private:
    reporting::Window window_;
    NamesCache names_{namesMax};
};

}  // namespace brelo::listener
