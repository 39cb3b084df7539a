#include "listener/ear.h"

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

}  // namespace brelo::listener
