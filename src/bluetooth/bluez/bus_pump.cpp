#include "bluetooth/bluez/bus_pump.h"

#include <poll.h>
#include <sys/epoll.h>
#include <system_error>

namespace brelo::bluetooth::bluez {
namespace {

// One batch dispatches at most this many messages, so that a bus that never runs dry
// cannot keep the loop's timers waiting.
constexpr size_t kMaxBatch = 4096;
// A batch at least this long found messages queued faster than they came in: the daemon
// is holding more for us, and a pause would only slow the flow down.
constexpr size_t kBacklog = 256;

void check(int r, const char* what) {
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), what);
}

}  // namespace

BusPump::BusPump(sd_event* event, sd_bus* bus, double quietS)
    : event_(event), bus_(bus), quietUs_(static_cast<uint64_t>(quietS * 1e6)) {
    sd_event_source* raw = nullptr;
    check(sd_event_add_io(event_, &raw, sd_bus_get_fd(bus_), 0, &onIo, this), "sd_event_add_io");
    io_.reset(raw);
    check(sd_event_source_set_prepare(raw, &onPrepare), "sd_event_source_set_prepare");
    check(sd_event_add_time(event_, &raw, CLOCK_MONOTONIC, UINT64_MAX, 0, &onTimeout, this), "sd_event_add_time");
    timeout_.reset(raw);
    check(sd_event_source_set_enabled(raw, SD_EVENT_OFF), "sd_event_source_set_enabled");
    // Accuracy 1 us: by default sd-event may let a timer run up to 250 ms late to save
    // wake-ups, which would stretch every pause far beyond quietS.
    check(sd_event_add_time(event_, &raw, CLOCK_MONOTONIC, UINT64_MAX, 1, &onQuietEnd, this), "sd_event_add_time");
    quiet_.reset(raw);
    check(sd_event_source_set_enabled(raw, SD_EVENT_OFF), "sd_event_source_set_enabled");
}

// Before the loop polls, as sd_bus_attach_event does: listen for what the connection needs
// (input; output while messages wait to be written) and wake at its next time-out. With
// messages already read and queued, sd-bus asks for no input and a time-out of now.
int BusPump::onPrepare(sd_event_source*, void* userdata) noexcept {
    auto* self = static_cast<BusPump*>(userdata);
    int events = sd_bus_get_events(self->bus_);
    uint32_t wanted = 0;
    if (events < 0 || (events & POLLIN))
        wanted |= EPOLLIN;
    if (events > 0 && (events & POLLOUT))
        wanted |= EPOLLOUT;
    sd_event_source_set_io_events(self->io_.get(), wanted);
    uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(self->bus_, &usec) >= 0 && usec != UINT64_MAX) {
        sd_event_source_set_time(self->timeout_.get(), usec);
        sd_event_source_set_enabled(self->timeout_.get(), SD_EVENT_ONESHOT);
    } else {
        sd_event_source_set_enabled(self->timeout_.get(), SD_EVENT_OFF);
    }
    return 0;
}

size_t BusPump::drain() {
    size_t done = 0;
    while (done < kMaxBatch) {
        // 0: nothing more to do now. Negative: the connection failed; sd-bus then
        // dispatches its Disconnected message on a later call, which the binding handles.
        if (sd_bus_process(bus_, nullptr) <= 0)
            break;
        ++done;
    }
    return done;
}

int BusPump::onIo(sd_event_source*, int, uint32_t, void* userdata) noexcept {
    auto* self = static_cast<BusPump*>(userdata);
    const size_t done = self->drain();
    if (self->quietUs_ == 0 || done == 0 || done >= kBacklog)
        return 0;
    uint64_t now = 0;
    if (sd_event_now(self->event_, CLOCK_MONOTONIC, &now) < 0)
        return 0;
    sd_event_source_set_enabled(self->io_.get(), SD_EVENT_OFF);
    sd_event_source_set_time(self->quiet_.get(), now + self->quietUs_);
    sd_event_source_set_enabled(self->quiet_.get(), SD_EVENT_ONESHOT);
    return 0;
}

int BusPump::onTimeout(sd_event_source*, uint64_t, void* userdata) noexcept {
    static_cast<BusPump*>(userdata)->drain();
    return 0;
}

int BusPump::onQuietEnd(sd_event_source*, uint64_t, void* userdata) noexcept {
    auto* self = static_cast<BusPump*>(userdata);
    // Level-triggered: whatever arrived during the pause makes the socket readable at once.
    sd_event_source_set_enabled(self->io_.get(), SD_EVENT_ON);
    return 0;
}

}  // namespace brelo::bluetooth::bluez
