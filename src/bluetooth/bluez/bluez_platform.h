#pragma once

#include <memory>
#include <string>

#include "bluetooth/platform.h"
#include "bluetooth/radio_watch.h"
#include "runtime/event_loop.h"

namespace brelo::bluetooth::bluez {

// Timings of the binding. The defaults are the ones the program runs with; tests shorten them.
struct BluezOptions {
    // A radio silent while discovering after devices were being heard: when discovery is
    // restarted and when the adapter is power-cycled (see RadioWatch), judged this often.
    RadioWatchTimings radio;
    double radioCheckIntervalS = 5.0;
    // Reconnecting to the bus and retrying refused or failed calls: first delay, doubled up to the maximum.
    double backoffFirstS = 1.0;
    double backoffMaxS = 30.0;
    // Once the bus has been read dry it is left alone this long, so that a stream of
    // advertisements is taken in batches instead of one wake-up each. Every message from
    // BlueZ (a state change, a reply) waits at most this long; timers are not held up.
    double busQuietS = 0.020;
    // Without an advertisement monitor the kernel filters duplicates in every discovery scan
    // (~10 s), so a device whose advertisement does not change is heard once a scan. A new
    // kernel scan is then asked for (by a change of the discovery filter, which bluetoothd
    // answers with one while keeping its devices) rediscoverPhaseS into each report window
    // (half of the listener's 2 s), so no restart falls on a window's edge. None: no restarts.
    std::optional<double> rediscoverPhaseS = 1.0;
    // bluetoothd takes its name before it publishes its adapters, one at a time: the adapter
    // is chosen adapterSettleS after the first one is seen, or adapterWaitS after BlueZ's
    // first answer held none (then "no adapter" is reported).
    double adapterSettleS = 0.3;
    double adapterWaitS = 2.0;
    // bluetoothd removes its adapters before it leaves the bus: an adapter in use that
    // disappears is reported as missing only when BlueZ is still there after this.
    double adapterGraceS = 1.0;
};

struct BluezBinding;

// The Bluetooth LE service through BlueZ on the system D-Bus (DBUS_SYSTEM_BUS_ADDRESS when
// set). Central managers share one discovery; the peripheral manager registers an
// LE advertisement. Every call to BlueZ is asynchronous and every callback comes from the
// loop. Nothing is fatal: a lost bus or a restarting bluetoothd show as manager states.
// The platform must outlive the managers it makes.
class BluezPlatform final : public BluetoothPlatform {
public:
    explicit BluezPlatform(runtime::EventLoop& loop, BluezOptions options = {});
    ~BluezPlatform() override;
    BluezPlatform(const BluezPlatform&) = delete;
    BluezPlatform& operator=(const BluezPlatform&) = delete;

    std::unique_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override;
    std::unique_ptr<PeripheralManager> makePeripheralManager(PeripheralManagerDelegate& delegate) override;
    // Denied while BlueZ's last answer to us was an access refusal, otherwise allowed always.
    Authorization authorization() const override;
    void reportWindowBegan() override;
    // What the binding does about a radio gone silent, for systemd's status line; empty
    // while the radio hears.
    std::string radioNote() const;

private:
    std::unique_ptr<BluezBinding> binding_;
};

}  // namespace brelo::bluetooth::bluez
