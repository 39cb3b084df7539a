// The upload of device records to the server, and the replay queue of failed uploads.
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/log_writer.h"
#include "listener/ear.h"
#include "reporting/upload_body.h"

namespace brelo::listener {
namespace {

// Seconds between a record's flush and `now`; 0 for a record without a floating-point "ts".
double ageOf(const DeviceRecord& record, double now) {
    auto ts = record.find("ts");
    if (ts == record.end() || !ts->is_number_float())
        return 0;
    return now - ts->get<double>();
}

bool succeeded(const reporting::HttpResult& result) {
    return !result.error && result.hasResponse && result.statusCode >= 200 && result.statusCode <= 299;
}

std::string failureReason(const reporting::HttpResult& result) {
    if (result.error)
        return *result.error;
    return "HTTP " + std::to_string(result.hasResponse ? result.statusCode : 0);
}

}  // namespace

void Ear::send(std::vector<DeviceRecord> devices, const std::string& status) {
    upload(std::move(devices), {}, status);
}

void Ear::upload(std::vector<DeviceRecord> devices, reporting::RecordTexts written, const std::string& status) {
    const double sendTime = env_.clock.now();

    // Records that waited too long describe a past the server no longer wants.
    std::erase_if(pending, [sendTime](const DeviceRecord& r) { return ageOf(r, sendTime) > replayMaxS; });

    std::vector<DeviceRecord> records = std::move(pending);
    pending.clear();
    if (records.empty()) {
        records = std::move(devices);
    } else {
        records.reserve(records.size() + devices.size());
        records.insert(records.end(), std::make_move_iterator(devices.begin()), std::make_move_iterator(devices.end()));
    }
    lastSent = sendTime;

    reporting::HttpRequest request;
    request.baseUrl = brelo;
    request.pathSegment = "ble/ingest";
    request.method = "POST";
    request.contentType = "application/json";
    request.timeoutS = uploadTimeoutS_;
    try {
        request.body = reporting::encodeUploadBody(
            {.node = node, .room = env_.room, .status = status, .sentAt = sendTime, .version = version}, records,
            written);
    } catch (...) {
        // Out of memory while encoding: the request goes without a body and the server's
        // answer decides, like for any other upload.
        request.body.clear();
    }

    // The records now live only in this upload; a failure hands them back to `pending`,
    // the written ones read back into objects, after the others as they were sent.
    const size_t count = records.size() + written.size();
    ++uploadsInFlight_;
    recordsInFlight_ += count;
    env_.http.send(std::move(request), [self = std::weak_ptr<Ear*>(self_), records = std::move(records),
                                        written = std::move(written)](const reporting::HttpResult& result) mutable {
        auto ear = self.lock();
        const size_t count = records.size() + written.size();
        if (!succeeded(result)) {
            // No try follows once the ear is stopping: say so rather than promise one.
            log("post failed: " + failureReason(result) +
                (ear && (*ear)->stopping_ ? " - " + std::to_string(count) + " readings not sent, the ear is stopping"
                                          : " - keeping " + std::to_string(count) + " readings for the next try"),
                LogPriority::error);
            if (ear) {
                records.reserve(records.size() + written.size());
                for (size_t i = 0; i < written.size(); ++i) {
                    DeviceRecord record = DeviceRecord::parse(written.at(i), nullptr, false);
                    if (!record.is_discarded())
                        records.push_back(std::move(record));
                }
                (*ear)->putBack(std::move(records));
            }
        }
        if (ear)
            (*ear)->completed(result, count);
    });
}

void Ear::completed(const reporting::HttpResult& result, size_t records) {
    lastUpload_ = UploadOutcome{.at = env_.clock.now(),
                                .statusCode = result.hasResponse ? result.statusCode : 0,
                                .failure = succeeded(result) ? std::string() : failureReason(result)};
    --uploadsInFlight_;
    recordsInFlight_ -= records;
    if (stopping_ && uploadsInFlight_ == 0 && stopped_)
        std::exchange(stopped_, nullptr)();
}

void Ear::putBack(std::vector<DeviceRecord> failed) {
    // The failed upload started before anything now waiting was put back, so its records
    // go first; the queue then keeps its newest pendingMax records.
    const size_t total = failed.size() + pending.size();
    const size_t drop = total > pendingMax ? total - pendingMax : 0;
    if (drop >= failed.size()) {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(drop - failed.size()));
        return;
    }
    failed.erase(failed.begin(), failed.begin() + static_cast<std::ptrdiff_t>(drop));
    failed.insert(failed.end(), std::make_move_iterator(pending.begin()), std::make_move_iterator(pending.end()));
    pending = std::move(failed);
}

}  // namespace brelo::listener
