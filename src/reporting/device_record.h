#pragma once

#include "bluetooth/uuid.h"
#include "listener/ear.h"
#include "listener/seen.h"

namespace brelo::reporting {

// One peripheral over one flush window, as the server receives it. Takes the sighting by
// value: its readings are sorted in place and its texts moved into the record. The sighting
// must hold at least one reading. `ts` is the flush time, seconds since 1970.
listener::DeviceRecord deviceRecord(const bluetooth::Uuid& id, listener::Seen seen, double ts);

}  // namespace brelo::reporting
