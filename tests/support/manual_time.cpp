#include "support/manual_time.h"

#include <algorithm>

namespace brelo::test {

class ManualTime::Handle final : public runtime::Timer {
public:
    explicit Handle(std::shared_ptr<Entry> e) : entry_(std::move(e)) {}
    ~Handle() override { entry_->alive = false; }

private:
    std::shared_ptr<Entry> entry_;
};

std::unique_ptr<runtime::Timer> ManualTime::repeating(double intervalS, std::function<void()> tick) {
    auto e = std::make_shared<Entry>(Entry{intervalS, monotonic_ + intervalS, std::move(tick)});
    timers_.push_back(e);
    return std::make_unique<Handle>(e);
}

void ManualTime::fireDue(double upTo) {
    for (;;) {
        std::erase_if(timers_, [](auto& e) { return !e->alive; });
        std::shared_ptr<Entry> next;
        for (auto& e : timers_)
            if (e->due <= upTo + 1e-9 && (!next || e->due < next->due))
                next = e;
        if (!next)
            return;
        monotonic_ = std::max(monotonic_, next->due);
        next->due = runtime::nextDueTime(next->due, next->intervalS, monotonic_);
        auto keep = next;  // the tick may destroy its own handle
        keep->tick();
    }
}

void ManualTime::advance(double seconds) {
    double target = monotonic_ + seconds;
    fireDue(target);
    monotonic_ = target;
}

void ManualTime::busy(double seconds) {
    monotonic_ += seconds;
    fireDue(monotonic_);
}

}  // namespace brelo::test
