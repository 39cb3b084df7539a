#include "bluetooth/bluez/access_refusals.h"

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

AccessRefusals::AccessRefusals(BluezBinding& binding)
    : binding_(binding), backoffS_(binding.options.backoffFirstS), alarm_(binding.loop, [this] { retry(); }) {}

void AccessRefusals::refused(Access what) {
    retryLater();
    const unsigned before = denied_;
    denied_ |= static_cast<unsigned>(what);
    if (!before)
        binding_.managers.update();
}

void AccessRefusals::accepted(Access what) {
    if (!denied(what))
        return;
    denied_ &= ~static_cast<unsigned>(what);
    if (!denied_) {
        answered();
        alarm_.cancel();
        binding_.managers.update();
    }
}

void AccessRefusals::retryLater() { alarm_.arm(binding_.nextBackoff(backoffS_)); }

void AccessRefusals::answered() { backoffS_ = binding_.options.backoffFirstS; }

void AccessRefusals::reset() {
    denied_ = 0;
    alarm_.cancel();
    answered();
}

void AccessRefusals::retry() {
    if (!binding_.connection.bluezThere())
        return;
    if (!binding_.objects.known()) {
        if (!binding_.objects.fetching())
            binding_.objects.fetch();
        return;
    }
    if (!binding_.discovery.active())
        binding_.discovery.ensure(true);
    // Registrations refused for access are tried again too, but quietly: the refusal was
    // reported already, and the unauthorized state says the rest.
    if (denied(Access::advertising))
        binding_.advertising.retryRefused();
}

}  // namespace brelo::bluetooth::bluez
