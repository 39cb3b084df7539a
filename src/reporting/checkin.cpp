// The check-in: keeps the server informed while nothing is heard.
#include "listener/ear.h"

namespace brelo::listener {

void Ear::checkIn() {
    const bluetooth::Authorization authorization = env_.bluetooth.authorization();
    if (authorization == bluetooth::kAuthorizationNotDetermined ||
        authorization == bluetooth::kAuthorizationRestricted || authorization == bluetooth::kAuthorizationDenied)
        status = "needs-permission";

    // A node that cannot listen says so every time.
    if (status != "listening") {
        send({}, status);
        return;
    }
    // A listening node only needs a sign of life when nothing went out lately. A lastSent in
    // the future (the clock was set back) gives a negative gap: no heartbeat until it has passed.
    if (env_.clock.now() - lastSent >= checkInIntervalS)
        send({}, status);
}

}  // namespace brelo::listener
