#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bluetooth/platform.h"
#include "listener/sightings.h"
#include "reporting/checkin.h"
#include "reporting/http_client.h"
#include "reporting/record_texts.h"
#include "reporting/uploader.h"
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

// What the Ear has been doing lately, for a one-line summary of the process.
struct EarSummary {
    std::string status;
    size_t devicesLastWindow = 0;
    std::optional<reporting::UploadOutcome> lastUpload;
    size_t recordsWaiting = 0;  // in the replay queue or in uploads not answered yet
};

// The listening node: owns the two central managers, what they hear (Sightings) and the
// status word; every flush window it hands the window's records to reporting, whose
// uploader keeps the replay queue. Drives the flush and check-in timers. Everything runs
// on the main loop.
class Ear final : public bluetooth::CentralManagerDelegate {
public:
    static constexpr std::string_view version = "2.0";
    static constexpr double flushIntervalS = 2.0;
    static constexpr double checkInIntervalS = reporting::checkInIntervalS;

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
    // One upload under `status`: the replay queue's records, then `devices`.
    void send(reporting::RecordTexts devices, const std::string& status);

    // Ends listening for good: the timers and both scans stop, and the current window and
    // the replay queue go out in one last upload that gives up after uploadTimeoutS. done
    // runs (from the loop) once no upload of the Ear is in flight any more, at once if none
    // is. A second call does nothing.
    void stop(double uploadTimeoutS, std::function<void()> done);

    const std::string& status() const { return status_; }
    const Sightings& sightings() const { return sightings_; }
    const reporting::Uploader& uploader() const { return uploader_; }
    EarSummary summary() const;

private:
    // The current window's device records; the batch starts afresh.
    reporting::RecordTexts takeWindow();

    EarEnvironment env_;
    std::unique_ptr<bluetooth::CentralManager> central_;
    std::unique_ptr<bluetooth::CentralManager> family_;
    Sightings sightings_;
    std::string status_ = "starting";
    reporting::Uploader uploader_;
    size_t devicesLastWindow_ = 0;
    bool stopping_ = false;
    // Last, so the timers stop before anything they touch goes away.
    std::unique_ptr<runtime::Timer> flushTimer_;
    std::unique_ptr<runtime::Timer> checkInTimer_;
};

}  // namespace brelo::listener
