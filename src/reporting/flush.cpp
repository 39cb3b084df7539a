// The flush: every 2 seconds the batch becomes one device record per peripheral.
#include <utility>
#include <vector>

#include "listener/ear.h"
#include "reporting/device_record.h"

namespace brelo::listener {

void Ear::flush() {
    if (batch.empty())
        return;
    // One time for the whole window: the server groups the records of one flush by it.
    const double ts = env_.clock.now();
    std::vector<DeviceRecord> devices;
    devices.reserve(batch.size());
    for (auto& [id, seen] : batch) {
        // Ingest appends a reading to every record it keeps; a record left without one by a
        // failure half-way through ingest has nothing to report.
        if (!seen.rssi.empty())
            devices.push_back(reporting::deviceRecord(id, std::move(seen), ts));
    }
    batch.clear();
    if (devices.empty())
        return;
    // Whatever the radio's status, a flush only happens because something was heard.
    send(std::move(devices), "listening");
}

}  // namespace brelo::listener
