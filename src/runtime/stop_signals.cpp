#include "runtime/stop_signals.h"

#include <csignal>
#include <system_error>

#include <sys/signalfd.h>

namespace brelo::runtime {

StopSignals::StopSignals(EventLoop& loop, std::function<void(int)> onStop) : loop_(loop), onStop_(std::move(onStop)) {
    // sd-event reads signals through a signalfd, which only sees signals that are blocked.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (int r = pthread_sigmask(SIG_BLOCK, &set, nullptr); r != 0)
        throw std::system_error(r, std::generic_category(), "pthread_sigmask");
    for (auto [signal, source] : {std::pair{SIGTERM, &term_}, std::pair{SIGINT, &interrupt_}}) {
        sd_event_source* raw = nullptr;
        if (int r = sd_event_add_signal(loop.get(), &raw, signal, &StopSignals::onSignal, this); r < 0)
            throw std::system_error(-r, std::generic_category(), "sd_event_add_signal");
        source->reset(raw);
    }
}

StopSignals::~StopSignals() = default;

int StopSignals::onSignal(sd_event_source*, const struct signalfd_siginfo* info, void* userdata) noexcept {
    auto* self = static_cast<StopSignals*>(userdata);
    const int signal = static_cast<int>(info->ssi_signo);
    if (self->stopping_) {
        self->loop_.exit(128 + signal);
        return 0;
    }
    self->stopping_ = true;
    try {
        self->onStop_(signal);
    } catch (...) {
        // A stop that cannot be carried out in order still stops.
        self->loop_.exit(0);
    }
    return 0;
}

}  // namespace brelo::runtime
