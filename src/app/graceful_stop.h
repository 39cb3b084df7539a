#pragma once

#include <memory>

#include "beacon/beacon.h"
#include "listener/ear.h"
#include "runtime/event_loop.h"
#include "runtime/service_notifier.h"

namespace brelo {

// The stop asked for by SIGTERM (systemctl stop or restart, an upgrade, a shutdown) or
// SIGINT: scanning and the beacon end, what the current window heard and the replay queue
// go out in one last upload, and the loop ends with status 0 once no upload is in flight,
// or at the deadline when the server does not answer, well inside systemd's stop time-out.
class GracefulStop {
public:
    static constexpr double uploadTimeoutS = 2.0;  // the last upload gives up after this
    static constexpr double deadlineS = 2.2;       // uploads still in flight then are abandoned

    GracefulStop(runtime::EventLoop& loop, listener::Ear& ear, beacon::Beacon& beacon,
                 runtime::ServiceNotifier& notifier)
        : loop_(loop), ear_(ear), beacon_(beacon), notifier_(notifier) {}

    void begin(int signal);

private:
    void finish();

    runtime::EventLoop& loop_;
    listener::Ear& ear_;
    beacon::Beacon& beacon_;
    runtime::ServiceNotifier& notifier_;
    double startedAtS_ = 0;
    bool finished_ = false;
    std::unique_ptr<runtime::Timer> deadline_;
};

}  // namespace brelo
