#pragma once

#include "reporting/record_texts.h"
#include "reporting/sighting.h"

namespace brelo::reporting {

// The flush of one window: a device record per peripheral heard, all with the flush time
// `ts` (the server groups a window's records by it), and the window emptied.
RecordTexts flushWindow(Window& window, double ts);

}  // namespace brelo::reporting
