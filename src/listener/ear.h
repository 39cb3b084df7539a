#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluetooth/platform.h"
#include "listener/names_cache.h"
#include "listener/seen.h"
#include "reporting/http_client.h"
#include "reporting/record_texts.h"
#include "runtime/clock.h"
#include "runtime/timer_service.h"

namespace brelo::listener {

// What the Ear needs from the rest of the process. All references must outlive the Ear.
struct EarEnvironment {
    bluetooth::BluetoothPlatform& bluetooth;
    runtime::TimerService& timers;
    runtime::Clock& clock;
    reporting::HttpClient& http;
    std::string room;  // the process-wide room setting; fixed after start-up
};

using DeviceRecord = nlohmann::json;  // a flat JSON object

// The outcome of the Ear's latest upload to complete.
struct UploadOutcome {
    double at = 0;        // when it completed, wall clock
    long statusCode = 0;  // the HTTP status, 0 without a response
    std::string failure;  // why it failed ("HTTP 503", the transport's message); empty on success
};

// What the Ear has been doing lately, for a one-line summary of the process.
struct EarSummary {
    std::string status;
    size_t devicesLastWindow = 0;
    std::optional<UploadOutcome> lastUpload;
    size_t recordsWaiting = 0;  // in the replay queue or in uploads not answered yet
};

// The listening node: owns the two central managers, the batch of sightings, the names
// heard, the status word and the replay queue, and drives the flush and check-in timers.
// Everything runs on the main loop.
class Ear final : public bluetooth::CentralManagerDelegate {
public:
    static constexpr size_t pendingMax = 600;
    static constexpr double replayMaxS = 120.0;
    static constexpr std::string_view version = "2.0";
    static constexpr size_t namesMax = 10000;
    static constexpr double flushIntervalS = 2.0;
    static constexpr double checkInIntervalS = 10.0;
    static const bluetooth::Uuid& houseBrelo();
    static const bluetooth::Uuid& listenerBeacon();
    // A listener's beacon advertises this followed by its node name.
    static constexpr std::string_view beaconNamePrefix = "KVQ-";

    Ear(std::string brelo, std::string node, EarEnvironment environment);
    ~Ear() override;
    Ear(const Ear&) = delete;
    Ear& operator=(const Ear&) = delete;

    // The status word for a manager state; "starting" for unknown and out-of-range values.
    static std::string word(bluetooth::ManagerState state);

    void centralManagerDidUpdateState(bluetooth::CentralManager& manager) override;
    void centralManagerDidDiscover(bluetooth::CentralManager& manager,
                                   const bluetooth::Advertisement& advertisement) override;

    void flush();
    void checkIn();
    void send(std::vector<DeviceRecord> devices, const std::string& status);

    // Ends listening for good: the timers and both scans stop, and the current window and
    // the replay queue go out in one last upload that gives up after uploadTimeoutS. done
    // runs (from the loop) once no upload of the Ear is in flight any more, at once if none
    // is. A second call does nothing.
    void stop(double uploadTimeoutS, std::function<void()> done);
    EarSummary summary() const;
    // Records in the replay queue and in uploads still in flight.
    size_t recordsUndelivered() const { return pending.size() + recordsInFlight_; }

    const std::string brelo;
    const std::string node;
    std::unique_ptr<bluetooth::CentralManager> central;
    std::unique_ptr<bluetooth::CentralManager> family;
    std::unordered_map<bluetooth::Uuid, Seen, bluetooth::UuidHash> batch;
    NamesCache names{namesMax};
    std::string status = "starting";
    std::vector<DeviceRecord> pending;
    double lastSent = runtime::kDistantPast;

private:
    // send() with, after the records, records the flush has already written as text.
    void upload(std::vector<DeviceRecord> devices, reporting::RecordTexts written, const std::string& status);
    void putBack(std::vector<DeviceRecord> failed);
    void completed(const reporting::HttpResult& result, size_t records);

    EarEnvironment env_;
    // Upload completions hold this weakly: a completion that outlives the Ear does nothing.
    std::shared_ptr<Ear*> self_;
    double uploadTimeoutS_ = 5.0;
    size_t uploadsInFlight_ = 0;
    size_t recordsInFlight_ = 0;
    size_t devicesLastWindow_ = 0;
    std::optional<UploadOutcome> lastUpload_;
    bool stopping_ = false;
    std::function<void()> stopped_;
    // Last, so the timers stop before anything they touch goes away.
    std::unique_ptr<runtime::Timer> flushTimer_;
    std::unique_ptr<runtime::Timer> checkInTimer_;
};

}  // namespace brelo::listener
