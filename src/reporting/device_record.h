#pragma once

#include <string_view>

#include "bluetooth/uuid.h"
#include "reporting/json_text.h"
#include "reporting/sighting.h"

namespace brelo::reporting {

// One peripheral over one flush window, as the server receives it, written straight as JSON
// text. Sorts the sighting's readings in place; the sighting must hold at least one
// reading. `ts` is the flush time as JSON text (the same for every record of a window).
void writeDeviceRecord(JsonText& out, const bluetooth::Uuid& id, Sighting& seen, std::string_view ts);

}  // namespace brelo::reporting
