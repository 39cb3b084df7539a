#include "reporting/flush.h"

#include <string>

#include "reporting/device_record.h"
#include "reporting/json_text.h"

namespace brelo::reporting {

RecordTexts flushWindow(Window& window, double ts) {
    RecordTexts written;
    written.ts = ts;
    if (window.empty())
        return written;
    written.ends.reserve(window.size());
    // A device record comes to some 250 bytes.
    written.text.reserve(256 * window.size());
    const std::string tsText = floatingText(ts);
    JsonText out(written.text);
    for (auto& [id, seen] : window) {
        // Ingest appends a reading to every sighting it keeps; one left without one by a
        // failure half-way through ingest has nothing to report.
        if (seen.rssi.empty())
            continue;
        if (!written.empty())
            out.raw(',');
        writeDeviceRecord(out, id, seen, tsText);
        written.ends.push_back(written.text.size());
    }
    window.clear();
    return written;
}

}  // namespace brelo::reporting
