#include "reporting/uploader.h"

#include <utility>

#include "reporting/upload_body.h"
#include "runtime/log_writer.h"

namespace brelo::reporting {
namespace {

bool succeeded(const HttpResult& result) {
    return !result.error && result.hasResponse && result.statusCode >= 200 && result.statusCode <= 299;
}

std::string failureReason(const HttpResult& result) {
    if (result.error)
        return *result.error;
    return "HTTP " + std::to_string(result.hasResponse ? result.statusCode : 0);
}

}  // namespace

Uploader::Uploader(UploadTarget target, HttpClient& http, runtime::Clock& clock)
    : target_(std::move(target)), http_(http), clock_(clock), self_(std::make_shared<Uploader*>(this)) {}

Uploader::~Uploader() = default;

void Uploader::send(RecordTexts records, std::string_view status) {
    const double sendTime = clock_.now();
    std::vector<RecordTexts> all = queue_.take(sendTime);
    if (!records.empty())
        all.push_back(std::move(records));
    lastSent_ = sendTime;

    HttpRequest request;
    request.baseUrl = target_.brelo;
    request.pathSegment = "ble/ingest";
    request.method = "POST";
    request.contentType = "application/json";
    request.timeoutS = timeoutS_;
    try {
        request.body = encodeUploadBody(
            {.node = target_.node,
             .room = target_.room,
             .status = status,
             .sentAt = sendTime,
             .version = target_.version},
            all);
    } catch (...) {
        // Out of memory while encoding: the request goes without a body and the server's
        // answer decides, like for any other upload.
        request.body.clear();
    }

    // The records now live only in this upload, until its completion lets them go or puts
    // them back.
    size_t count = 0;
    for (const auto& r : all)
        count += r.size();
    ++uploadsInFlight_;
    recordsInFlight_ += count;
    http_.send(std::move(request), [self = std::weak_ptr<Uploader*>(self_), all = std::move(all),
                                    count](const HttpResult& result) mutable {
        auto uploader = self.lock();
        if (!succeeded(result)) {
            // No try follows once the ear is stopping: say so rather than promise one.
            const bool lastTry = uploader && (*uploader)->stopping_;
            log("post failed: " + failureReason(result) + " - " +
                    (lastTry ? std::to_string(count) + " readings not sent, the ear is stopping"
                             : "keeping " + std::to_string(count) + " readings for the next try"),
                LogPriority::error);
        }
        if (uploader)
            (*uploader)->completed(result, std::move(all), count);
    });
}

void Uploader::completed(const HttpResult& result, std::vector<RecordTexts> records, size_t count) {
    const bool ok = succeeded(result);
    if (!ok)
        queue_.putBack(std::move(records));
    lastOutcome_ = UploadOutcome{.at = clock_.now(),
                                 .statusCode = result.hasResponse ? result.statusCode : 0,
                                 .failure = ok ? std::string() : failureReason(result)};
    --uploadsInFlight_;
    recordsInFlight_ -= count;
    if (uploadsInFlight_ == 0 && idle_)
        std::exchange(idle_, nullptr)();
}

void Uploader::stopping(double timeoutS) {
    stopping_ = true;
    timeoutS_ = timeoutS;
}

void Uploader::whenIdle(std::function<void()> done) {
    if (uploadsInFlight_ == 0)
        done();
    else
        idle_ = std::move(done);
}

}  // namespace brelo::reporting
