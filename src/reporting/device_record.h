#pragma once

#include "bluetooth/uuid.h"
#include "listener/ear.h"
#include "listener/seen.h"
#include "reporting/json_text.h"

namespace brelo::reporting {

// One peripheral over one flush window, as the server receives it. Takes the sighting by
// value: its readings are sorted in place and its texts moved into the record. The sighting
// must hold at least one reading. `ts` is the flush time, seconds since 1970.
listener::DeviceRecord deviceRecord(const bluetooth::Uuid& id, listener::Seen seen, double ts);

// The same record written straight as JSON text: exactly the text that writing
// deviceRecord(id, seen, ts) with JsonText gives, without building the object. Sorts the
// sighting's readings in place; the sighting must hold at least one reading.
void writeDeviceRecord(JsonText& out, const bluetooth::Uuid& id, listener::Seen& seen, double ts);

}  // namespace brelo::reporting
