#pragma once

#include <cstddef>
#include <cstdint>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include "runtime/handles.h"

namespace brelo::bluetooth::bluez {

// Drives an sd-bus connection from the sd-event loop in batches, in place of
// sd_bus_attach_event, which dispatches one message per loop iteration: with BlueZ
// reporting every advertisement as a signal of its own, that is one wake-up per
// advertisement, most of the cost of taking it in. Here, when the socket becomes readable,
// every message waiting on it is dispatched; then the socket is left alone for `quietS`
// before the loop listens to it again, and what arrived meanwhile is read in one go. No
// message waits longer than that, and timers and other sources run as usual meanwhile.
// A batch that finds a backlog (the daemon is waiting for us to read) does not pause.
// quietS 0 reads every message as it comes.
class BusPump {
public:
    BusPump(sd_event* event, sd_bus* bus, double quietS);  // throws std::system_error
    BusPump(const BusPump&) = delete;
    BusPump& operator=(const BusPump&) = delete;

private:
    static int onPrepare(sd_event_source* source, void* userdata) noexcept;
    static int onIo(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;
    static int onTimeout(sd_event_source* source, uint64_t usec, void* userdata) noexcept;
    static int onQuietEnd(sd_event_source* source, uint64_t usec, void* userdata) noexcept;
    size_t drain();

    sd_event* event_;
    sd_bus* bus_;
    uint64_t quietUs_;
    runtime::SourcePtr io_;       // the connection's socket
    runtime::SourcePtr timeout_;  // the connection's next time-out (a call waiting for its reply)
    runtime::SourcePtr quiet_;    // the end of a pause
};

}  // namespace brelo::bluetooth::bluez
