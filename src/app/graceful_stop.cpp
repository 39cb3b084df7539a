#include "app/graceful_stop.h"

#include <csignal>
#include <cstdio>
#include <utility>
#include <string>

#include "runtime/log_writer.h"

namespace brelo {

void GracefulStop::begin(int signal) {
    startedAtS_ = loop_.monotonicNow();
    notifier_.stopping();
    log(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    // The unregistration goes out first, so it has the longest time to be answered; a
    // call still unanswered at the end is flushed onto the bus before the connection closes.
    beacon_.stop();
    deadline_ = loop_.after(deadlineS, [this] { finish(); });
    ear_.stop(uploadTimeoutS, [this] { finish(); });
}

void GracefulStop::finish() {
    if (std::exchange(finished_, true))
        return;
    char took[32];
    std::snprintf(took, sizeof took, "%.2f", loop_.monotonicNow() - startedAtS_);
    std::string line = std::string("stopped after ") + took + " s";
    const size_t lost = ear_.uploader().recordsUndelivered();
    if (lost > 0)
        line += "; " + std::to_string(lost) + " readings not delivered";
    log(line, lost > 0 ? LogPriority::warning : LogPriority::info);
    // The timer that may be calling this stays: it goes with this object, after the loop.
    loop_.exit(0);
}

}  // namespace brelo
