#include "beacon/beacon.h"

#include <unigbrk.h>
#include <vector>

#include "runtime/log_writer.h"
#include "bluetooth/brelo_ids.h"

namespace brelo::beacon {

Beacon::Beacon(std::string_view node, bluetooth::BluetoothPlatform& bluetooth) : name(beaconName(node)) {
    pm = bluetooth.makePeripheralManager(*this);
}

Beacon::~Beacon() = default;

std::string Beacon::beaconName(std::string_view node) {
    constexpr size_t kMaxCharacters = 12;
    std::string name(bluetooth::kListenerNamePrefix);
    // Count user-perceived characters (extended grapheme clusters), so that a letter with
    // its combining marks, an emoji with its modifiers and joiners, or a flag is never split.
    std::vector<char> breaks(node.size());
    u8_grapheme_breaks(reinterpret_cast<const uint8_t*>(node.data()), node.size(), breaks.data());
    size_t characters = 0;
    size_t end = node.size();
    for (size_t i = 0; i < node.size(); ++i) {
        if (i == 0 || breaks[i]) {
            if (characters == kMaxCharacters) {
                end = i;
                break;
            }
            ++characters;
        }
    }
    name.append(node.substr(0, end));
    return name;
}

void Beacon::stop() {
    stopped_ = true;
    pm->stopAdvertising();
}

void Beacon::peripheralManagerDidUpdateState(bluetooth::PeripheralManager& manager) {
    if (stopped_ || manager.state() != bluetooth::ManagerState::poweredOn)
        return;
    manager.startAdvertising({name, {bluetooth::listenerBeaconService()}});
}

// "on" means the platform took the advertisement, not merely that it was asked.
void Beacon::peripheralManagerDidStartAdvertising(bluetooth::PeripheralManager&,
                                                  const std::optional<std::string>& error) {
    if (error)
        log("beacon " + name + " refused: " + *error, LogPriority::error);
    else
        log("beacon " + name + " on");
}

}  // namespace brelo::beacon
