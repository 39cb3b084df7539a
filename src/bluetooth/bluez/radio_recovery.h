#pragma once

#include <memory>
#include <string>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/bluez_calls.h"
#include "bluetooth/radio_watch.h"
#include "runtime/alarm.h"
#include "runtime/timer_service.h"

namespace brelo::bluetooth::bluez {

struct BluezBinding;

// A controller can stop reporting while BlueZ still shows Discovering. The watch judges the
// silence and names the step; this carries it out on the adapter in use: a real stop and
// start of discovery first (starting again alone answers InProgress and changes nothing),
// then a power cycle through BlueZ, which resets the controller.
class RadioRecovery {
public:
    explicit RadioRecovery(BluezBinding& binding);

    void heard();
    // What was heard before says nothing about the radio any more.
    void forgetHeard() { watch_.reset(); }
    // A new owner or adapter, or no scan wanted: any power cycle of ours is abandoned.
    void reset();
    bool cycling() const { return cycle_ != Cycle::None; }
    // What is being done about a silent radio, for the service's status; empty while it hears.
    std::string note() const;

private:
    void check();
    void cyclePower();
    void powerOn();
    void failed(const sd_bus_error* e);
    static int onPoweredOff(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    static int onPoweredOn(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;

    enum class Cycle { None, TurningOff, TurningOn };

    BluezBinding& binding_;
    RadioWatch watch_;
    Cycle cycle_ = Cycle::None;
    double backoffS_ = 0;
    SlotPtr call_;
    runtime::Alarm powerAlarm_;
    std::unique_ptr<runtime::Timer> checkTimer_;
};

}  // namespace brelo::bluetooth::bluez
