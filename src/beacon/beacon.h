#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bluetooth/platform.h"

namespace brelo::beacon {

// Advertises this node as a listener: "KVQ-" and the node name, with the listener beacon
// service UUID, every time the peripheral role reports powered on.
class Beacon final : public bluetooth::PeripheralManagerDelegate {
public:
    Beacon(std::string_view node, bluetooth::BluetoothPlatform& bluetooth);
    ~Beacon() override;
    Beacon(const Beacon&) = delete;
    Beacon& operator=(const Beacon&) = delete;

    // "KVQ-" followed by the first 12 user-perceived characters of the node name.
    static std::string beaconName(std::string_view node);

    // Takes the beacon off the air for good: a later power-on does not bring it back.
    void stop();

    void peripheralManagerDidUpdateState(bluetooth::PeripheralManager& manager) override;
    void peripheralManagerDidStartAdvertising(bluetooth::PeripheralManager& manager,
                                              const std::optional<std::string>& error) override;

    std::unique_ptr<bluetooth::PeripheralManager> pm;
    const std::string name;

private:
    bool stopped_ = false;
};

}  // namespace brelo::beacon
