#pragma once

#include <string>

#include "runtime/alarm.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// The adapter in use among those BlueZ publishes: the one used before while bluetoothd is
// still publishing its adapters, otherwise the lowest index once the tree has settled, kept
// while it exists, and for a moment after it went (bluetoothd removes its adapters before
// it leaves the bus, so a restart reads as resetting and the adapter is taken again).
class AdapterChoice {
public:
    explicit AdapterChoice(BluezBinding& binding);

    // Chooses again from BlueZ's objects; tells the binding when the choice changed.
    void choose();
    // Arms the wait for bluetoothd's adapters: short once one is known, long while none is.
    void settleLater();
    // BlueZ went or has a new owner: the adapter in use is taken again when it is back.
    void forget();

    const std::string& path() const { return path_; }
    // Still waiting for bluetoothd's adapters, or within the moment after the one in use went.
    bool waiting() const { return !settled_ || graceAlarm_.armed(); }

private:
    BluezBinding& binding_;
    std::string path_;
    bool settled_ = false;
    bool settleShort_ = false;  // an adapter was seen: the short settle is armed
    std::string preferred_;     // the adapter in use before BlueZ went away, taken again when back
    std::string lost_;          // the adapter in use that disappeared, while its grace runs
    runtime::Alarm settleAlarm_;
    runtime::Alarm graceAlarm_;
};

}  // namespace brelo::bluetooth::bluez
