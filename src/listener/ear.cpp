#include "listener/ear.h"

#include <utility>

namespace brelo::listener {

const bluetooth::Uuid& Ear::houseBrelo() {
    static const bluetooth::Uuid uuid = *bluetooth::Uuid::parse("7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    return uuid;
}

const bluetooth::Uuid& Ear::listenerBeacon() {
    static const bluetooth::Uuid uuid = *bluetooth::Uuid::parse("7E5B8A11-9C2F-4D6A-B1E4-0F3A7C91D2E8");
    return uuid;
}

Ear::Ear(std::string breloUrl, std::string nodeName, EarEnvironment environment)
    : brelo(std::move(breloUrl)),
      node(std::move(nodeName)),
      env_(std::move(environment)),
      self_(std::make_shared<Ear*>(this)) {
    central = env_.bluetooth.makeCentralManager(*this);
    family = env_.bluetooth.makeCentralManager(*this);
    // The timers belong to the Ear and stop with it, so a tick never reaches a dead Ear.
    flushTimer_ = env_.timers.repeating(flushIntervalS, [this] { flush(); });
    checkInTimer_ = env_.timers.repeating(checkInIntervalS, [this] { checkIn(); });
}

Ear::~Ear() = default;

void Ear::stop(double uploadTimeoutS, std::function<void()> done) {
    if (stopping_)
        return;
    stopping_ = true;
    flushTimer_.reset();
    checkInTimer_.reset();
    // No advertisement arrives after this, so the flush below holds all that was heard.
    central->stopScan();
    family->stopScan();
    uploadTimeoutS_ = uploadTimeoutS;
    stopped_ = std::move(done);
    const size_t before = uploadsInFlight_;
    flush();
    // Nothing heard in this window: the replay queue goes out alone, under the current status.
    if (uploadsInFlight_ == before && !pending.empty())
        send({}, status);
    if (uploadsInFlight_ == 0 && stopped_)
        std::exchange(stopped_, nullptr)();
}

EarSummary Ear::summary() const {
    return {.status = status,
            .devicesLastWindow = devicesLastWindow_,
            .lastUpload = lastUpload_,
            .recordsWaiting = recordsUndelivered()};
}

}  // namespace brelo::listener
