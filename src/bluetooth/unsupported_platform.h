#pragma once

#include <functional>

#include "bluetooth/platform.h"

namespace brelo::bluetooth {

// A platform with no Bluetooth: every manager reports unsupported once, soon after it is
// made, and never scans or advertises.
class UnsupportedPlatform final : public BluetoothPlatform {
public:
    using Defer = std::function<void(std::function<void()>)>;
    explicit UnsupportedPlatform(Defer defer) : defer_(std::move(defer)) {}

    std::unique_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override;
    std::unique_ptr<PeripheralManager> makePeripheralManager(PeripheralManagerDelegate& delegate) override;
    Authorization authorization() const override { return kAuthorizationAllowedAlways; }

private:
    Defer defer_;
};

}  // namespace brelo::bluetooth
