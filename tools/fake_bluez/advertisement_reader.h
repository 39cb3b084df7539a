#pragma once

#include <optional>
#include <string>

#include <systemd/sd-bus.h>

#include "fake_adapter.h"

namespace brelo::fakebluez {

// Reads LEAdvertisement1's properties (an a{sv}) into reg the way BlueZ's parsers do: a
// known property of the wrong type fails the registration, unknown ones are ignored.
// Returns what was wrong.
std::optional<std::string> readAdvertisement(sd_bus_message* m, Registration& reg);

}  // namespace brelo::fakebluez
