#include "runtime/event_loop.h"

#include <cerrno>
#include <cmath>
#include <system_error>
#include <time.h>

namespace brelo::runtime {
namespace {

constexpr uint64_t kUsecPerSec = 1000000;
// Timers may fire up to this late; sd-event's default of 250 ms would blur a 2 s schedule.
constexpr uint64_t kAccuracyUsec = 1000;

uint64_t toUsec(double seconds) {
    if (seconds <= 0)
        return 0;
    return static_cast<uint64_t>(std::llround(seconds * static_cast<double>(kUsecPerSec)));
}

uint64_t loopNowUsec(sd_event* e) {
    uint64_t now = 0;
    if (sd_event_now(e, CLOCK_MONOTONIC, &now) < 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        now = static_cast<uint64_t>(ts.tv_sec) * kUsecPerSec + static_cast<uint64_t>(ts.tv_nsec) / 1000;
    }
    return now;
}

void runGuarded(const std::function<void()>& fn) noexcept {
    try {
        fn();
    } catch (...) {
        // Nothing after start-up is fatal: a throwing callback loses its own work only.
    }
}

class RepeatingTimer final : public Timer {
public:
    RepeatingTimer(sd_event* e, double intervalS, std::function<void()> tick)
        : intervalUsec_(std::max<uint64_t>(toUsec(intervalS), 1)), tick_(std::move(tick)) {
        due_ = loopNowUsec(e) + intervalUsec_;
        sd_event_source* raw = nullptr;
        int r = sd_event_add_time(e, &raw, CLOCK_MONOTONIC, due_, kAccuracyUsec, &RepeatingTimer::onTime, this);
        if (r < 0)
            throw std::system_error(-r, std::generic_category(), "sd_event_add_time");
        source_.reset(raw);
        sd_event_source_set_enabled(raw, SD_EVENT_ON);
    }

private:
    static int onTime(sd_event_source* s, uint64_t, void* userdata) noexcept {
        auto* self = static_cast<RepeatingTimer*>(userdata);
        // The handler's own time argument is the due time, not the present: ask the loop.
        uint64_t now = loopNowUsec(sd_event_source_get_event(s));
        double next = nextDueTime(static_cast<double>(self->due_), static_cast<double>(self->intervalUsec_),
                                  static_cast<double>(now));
        self->due_ = static_cast<uint64_t>(next);
        sd_event_source_set_time(s, self->due_);
        sd_event_source_set_enabled(s, SD_EVENT_ON);
        // The tick may destroy this timer; nothing of self is touched after it.
        runGuarded(self->tick_);
        return 0;
    }

    uint64_t intervalUsec_;
    uint64_t due_ = 0;
    std::function<void()> tick_;
    SourcePtr source_;  // last: stopped before the callback state goes away
};

class OneShotTimer final : public Timer {
public:
    OneShotTimer(sd_event* e, double delayS, std::function<void()> fn) : fn_(std::move(fn)) {
        sd_event_source* raw = nullptr;
        int r = sd_event_add_time_relative(e, &raw, CLOCK_MONOTONIC, toUsec(delayS), kAccuracyUsec,
                                           &OneShotTimer::onTime, this);
        if (r < 0)
            throw std::system_error(-r, std::generic_category(), "sd_event_add_time_relative");
        source_.reset(raw);
    }

private:
    static int onTime(sd_event_source*, uint64_t, void* userdata) noexcept {
        runGuarded(static_cast<OneShotTimer*>(userdata)->fn_);
        return 0;
    }

    std::function<void()> fn_;
    SourcePtr source_;
};

struct Deferred {
    std::function<void()> fn;
};

int onDefer(sd_event_source* s, void* userdata) noexcept {
    auto fn = std::move(static_cast<Deferred*>(userdata)->fn);
    // Freeing a source from its own handler is allowed; the destroy callback frees the payload.
    sd_event_source_disable_unref(s);
    runGuarded(fn);
    return 0;
}

}  // namespace

EventLoop::EventLoop() {
    sd_event* raw = nullptr;
    int r = sd_event_new(&raw);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_event_new");
    event_.reset(raw);
}

EventLoop::~EventLoop() = default;

std::unique_ptr<Timer> EventLoop::repeating(double intervalS, std::function<void()> tick) {
    return std::make_unique<RepeatingTimer>(event_.get(), intervalS, std::move(tick));
}

std::unique_ptr<Timer> EventLoop::after(double delayS, std::function<void()> fn) {
    return std::make_unique<OneShotTimer>(event_.get(), delayS, std::move(fn));
}

void EventLoop::defer(std::function<void()> fn) {
    auto payload = std::make_unique<Deferred>(Deferred{std::move(fn)});
    sd_event_source* raw = nullptr;
    int r = sd_event_add_defer(event_.get(), &raw, onDefer, payload.get());
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_event_add_defer");
    sd_event_source_set_destroy_callback(raw, [](void* p) { delete static_cast<Deferred*>(p); });
    payload.release();
    sd_event_source_set_enabled(raw, SD_EVENT_ONESHOT);
}

int EventLoop::run() {
    int r = sd_event_loop(event_.get());
    return r < 0 ? 1 : r;
}

void EventLoop::exit(int code) { sd_event_exit(event_.get(), code); }

bool EventLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    auto start = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    auto deadline = start + timeout;
    while (!pred()) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
        auto now = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
        if (now >= deadline)
            return pred();
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        int r = sd_event_run(event_.get(), static_cast<uint64_t>(left));
        if (r < 0 && r != -EINTR)
            return pred();
        if (sd_event_get_state(event_.get()) == SD_EVENT_FINISHED)
            return pred();
    }
    return true;
}

double EventLoop::monotonicNow() const {
    return static_cast<double>(loopNowUsec(event_.get())) / static_cast<double>(kUsecPerSec);
}

}  // namespace brelo::runtime
