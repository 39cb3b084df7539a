#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/http_client.h"
#include "reporting/record_texts.h"
#include "reporting/replay_queue.h"
#include "runtime/clock.h"

namespace brelo::reporting {

// Where uploads go and what they say about the node. Fixed after start-up.
struct UploadTarget {
    std::string brelo;  // the server's base URL
    std::string node;
    std::string room;
    std::string_view version;
};

// The outcome of the latest upload to complete.
struct UploadOutcome {
    double at = 0;        // when it completed, wall clock
    long statusCode = 0;  // the HTTP status, 0 without a response
    std::string failure;  // why it failed ("HTTP 503", the transport's message); empty on success
};

// Posts device records to the server's "ble/ingest", each upload carrying the replay
// queue's records before its own; a failed upload's records go back into the queue. Runs
// on the main loop.
class Uploader {
public:
    Uploader(UploadTarget target, HttpClient& http, runtime::Clock& clock);
    ~Uploader();
    Uploader(const Uploader&) = delete;
    Uploader& operator=(const Uploader&) = delete;

    // One upload under `status`, with what waits in the replay queue and then `records`
    // (none for a status report).
    void send(RecordTexts records, std::string_view status);

    // From now on uploads give up after timeoutS and a failed one's records are not kept
    // for a next try that will not come.
    void stopping(double timeoutS);
    // Runs done (from the loop) once no upload is in flight, at once if none is.
    void whenIdle(std::function<void()> done);

    double lastSent() const { return lastSent_; }
    const std::optional<UploadOutcome>& lastOutcome() const { return lastOutcome_; }
    size_t recordsWaiting() const { return queue_.size(); }
    // Records in the replay queue and in uploads not answered yet.
    size_t recordsUndelivered() const { return queue_.size() + recordsInFlight_; }

private:
    void completed(const HttpResult& result, std::vector<RecordTexts> records, size_t count);

    UploadTarget target_;
    HttpClient& http_;
    runtime::Clock& clock_;
    ReplayQueue queue_;
    double lastSent_ = runtime::kDistantPast;
    double timeoutS_ = 5.0;
    bool stopping_ = false;
    size_t uploadsInFlight_ = 0;
    size_t recordsInFlight_ = 0;
    std::optional<UploadOutcome> lastOutcome_;
    std::function<void()> idle_;
    // Completions hold this weakly: one that outlives the uploader only logs.
    std::shared_ptr<Uploader*> self_;
};

}  // namespace brelo::reporting
