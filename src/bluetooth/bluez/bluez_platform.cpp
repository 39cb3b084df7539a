#include "bluetooth/bluez/bluez_platform.h"

#include <string>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

BluezPlatform::BluezPlatform(runtime::EventLoop& loop, BluezOptions options)
    : binding_(std::make_unique<BluezBinding>(loop, options)) {}

BluezPlatform::~BluezPlatform() = default;

std::unique_ptr<CentralManager> BluezPlatform::makeCentralManager(CentralManagerDelegate& delegate) {
    return std::make_unique<BluezCentral>(*binding_, delegate);
}

std::unique_ptr<PeripheralManager> BluezPlatform::makePeripheralManager(PeripheralManagerDelegate& delegate) {
    static unsigned next = 0;
    return std::make_unique<BluezPeripheral>(*binding_, delegate, "/org/brelo/advertisement" + std::to_string(next++));
}

// Denied while BlueZ's last answer to us was a refusal of access.
Authorization BluezPlatform::authorization() const {
    return binding_->access.anyDenied() ? Authorization::denied : Authorization::allowedAlways;
}

void BluezPlatform::reportWindowBegan() { binding_->windowScans.windowBegan(); }

std::string BluezPlatform::radioNote() const { return binding_->radio.note(); }

}  // namespace brelo::bluetooth::bluez
