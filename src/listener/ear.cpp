#include "listener/ear.h"

#include <utility>


namespace brelo::listener {

Ear::Ear(std::string brelo, std::string node, EarEnvironment environment)
    : env_(std::move(environment)),
      uploader_({.brelo = std::move(brelo), .node = std::move(node), .room = env_.room, .version = version},
                env_.http, env_.clock) {
    central_ = env_.bluetooth.makeCentralManager(*this);
    family_ = env_.bluetooth.makeCentralManager(*this);
    // The timers belong to the Ear and stop with it, so a tick never reaches a dead Ear.
    flushTimer_ = env_.timers.repeating(flushIntervalS, [this] { flush(); });
    checkInTimer_ = env_.timers.repeating(checkInIntervalS, [this] { checkIn(); });
    env_.bluetooth.reportWindowBegan();
}

Ear::~Ear() = default;

reporting::RecordTexts Ear::takeWindow() {
    reporting::RecordTexts records = sightings_.take(env_.clock.now());
    devicesLastWindow_ = records.size();
    return records;
}

void Ear::flush() {
    env_.bluetooth.reportWindowBegan();
    reporting::RecordTexts records = takeWindow();
    // Whatever the radio's status, a flush only uploads because something was heard.
    if (!records.empty())
        uploader_.send(std::move(records), "listening");
}

void Ear::checkIn() {
    const bluetooth::Authorization authorization = env_.bluetooth.authorization();
    using enum bluetooth::Authorization;
    if (authorization == notDetermined || authorization == restricted || authorization == denied)
        status_ = "needs-permission";
    if (reporting::checkInDue(status_, env_.clock.now(), uploader_.lastSent()))
        uploader_.send({}, status_);
}

void Ear::send(reporting::RecordTexts devices, const std::string& status) {
    uploader_.send(std::move(devices), status);
}

void Ear::stop(double uploadTimeoutS, std::function<void()> done) {
    if (std::exchange(stopping_, true))
        return;
    flushTimer_.reset();
    checkInTimer_.reset();
    // No advertisement arrives after this, so the flush below holds all that was heard.
    central_->stopScan();
    family_->stopScan();
    uploader_.stopping(uploadTimeoutS);
    reporting::RecordTexts records = takeWindow();
    // Nothing heard in this window: the replay queue goes out alone, under the current status.
    const std::string status = records.empty() ? status_ : "listening";
    if (!records.empty() || uploader_.recordsWaiting() > 0)
        uploader_.send(std::move(records), status);
    uploader_.whenIdle(std::move(done));
}

void Ear::centralManagerDidDiscover(bluetooth::CentralManager& /*manager*/,
                                    const bluetooth::Advertisement& advertisement) {
    sightings_.hear(advertisement);
}

EarSummary Ear::summary() const {
    return {.status = status_,
            .devicesLastWindow = devicesLastWindow_,
            .lastUpload = uploader_.lastOutcome(),
            .recordsWaiting = uploader_.recordsUndelivered()};
}

}  // namespace brelo::listener
