// The flush: every 2 seconds the batch becomes one device record per peripheral.
#include <utility>
#include <vector>

#include "listener/ear.h"
#include "reporting/device_record.h"
#include "reporting/json_text.h"
#include "reporting/record_texts.h"

namespace brelo::listener {

void Ear::flush() {
    devicesLastWindow_ = 0;
    if (batch.empty())
        return;
    // One time for the whole window: the server groups the records of one flush by it.
    const double ts = env_.clock.now();
    // The records go straight to JSON text: that is all a successful upload needs of them,
    // and a failed one reads them back for the replay queue.
    reporting::RecordTexts written;
    written.ends.reserve(batch.size());
    written.text.reserve(256 * batch.size());
    reporting::JsonText out(written.text);
    for (auto& [id, seen] : batch) {
        // Ingest appends a reading to every record it keeps; a record left without one by a
        // failure half-way through ingest has nothing to report.
        if (seen.rssi.empty())
            continue;
        if (!written.empty())
            out.raw(',');
        reporting::writeDeviceRecord(out, id, seen, ts);
        written.ends.push_back(written.text.size());
    }
    batch.clear();
    devicesLastWindow_ = written.size();
    if (written.empty())
        return;
    // Whatever the radio's status, a flush only happens because something was heard.
    upload({}, std::move(written), "listening");
}

}  // namespace brelo::listener
