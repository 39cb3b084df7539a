#pragma once

#include <string_view>

#include "bluetooth/uuid.h"

namespace brelo::bluetooth {

// The service brelo's own devices advertise.
const Uuid& houseBreloService();
// The service a listening node's beacon advertises.
const Uuid& listenerBeaconService();
// A listener's beacon advertises this name prefix followed by its node name.
inline constexpr std::string_view kListenerNamePrefix = "KVQ-";

}  // namespace brelo::bluetooth
