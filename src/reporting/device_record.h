#pragma once

#include "bluetooth/uuid.h"
#include "listener/ear.h"
#include "listener/seen.h"
#include "reporting/json_text.h"

namespace brelo::reporting {

// One peripheral over one flush window, as the server receives it, written straight as JSON
// text with its keys sorted (the order nlohmann writes an object's keys). Sorts the
// sighting's readings in place; the sighting must hold at least one reading. `ts` is the
// flush time, seconds since 1970.
void writeDeviceRecord(JsonText& out, const bluetooth::Uuid& id, listener::Seen& seen, double ts);

}  // namespace brelo::reporting
