#include "beacon/beacon.h"

#include "app/log_writer.h"
#include "listener/ear.h"

namespace brelo::beacon {

Beacon::Beacon(std::string_view node, bluetooth::BluetoothPlatform& bluetooth) : name(beaconName(node)) {
    pm = bluetooth.makePeripheralManager(*this);
}

Beacon::~Beacon() = default;

// Temporary: a plain byte cut until grapheme counting lands.
std::string Beacon::beaconName(std::string_view node) { return "KVQ-" + std::string(node.substr(0, 12)); }

void Beacon::peripheralManagerDidUpdateState(bluetooth::PeripheralManager& manager) {
    if (manager.state() != bluetooth::kStatePoweredOn)
        return;
    manager.startAdvertising({name, {listener::Ear::listenerBeacon()}});
    log("beacon " + name + " on");
}

void Beacon::peripheralManagerDidStartAdvertising(bluetooth::PeripheralManager&,
                                                  const std::optional<std::string>& error) {
    if (error)
        log("beacon " + name + " refused: " + *error);
}

}  // namespace brelo::beacon
