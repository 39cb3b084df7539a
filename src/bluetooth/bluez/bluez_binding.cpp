#include "bluetooth/bluez/bluez_binding.h"

#include <algorithm>

namespace brelo::bluetooth::bluez {

BluezBinding::BluezBinding(runtime::EventLoop& eventLoop, BluezOptions bindingOptions)
    : loop(eventLoop), options(bindingOptions) {
    connection.connect();
}

BluezBinding::~BluezBinding() {
    // Every call and match is cancelled before the connection goes.
    connection.drop();
}

double BluezBinding::nextBackoff(double& backoff) const {
    const double now = backoff;
    backoff = std::min(std::max(backoff * 2, options.backoffFirstS), options.backoffMaxS);
    return now;
}

void BluezBinding::forgetBluez() {
    objects.forget();
    monitor.reset();
    access.reset();
    discovery.reset();
    advertising.dropAll();
}

void BluezBinding::withdrawObjects() {
    for (BluezPeripheral* p : managers.peripherals())
        p->object_.withdraw();
    monitor.withdraw();
}

void BluezBinding::adapterChanged() {
    discovery.reset();
    monitor.reset();
    advertising.dropAll();
}

}  // namespace brelo::bluetooth::bluez
