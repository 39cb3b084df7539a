#include "bluetooth/bluez/bluez_owner.h"

#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

void BluezOwner::set(std::string owner) {
    if (known_ && owner == name_)
        return;
    binding_.forgetBluez();
    known_ = true;
    name_ = std::move(owner);
    if (!name_.empty()) {
        hadOne_ = true;
        binding_.objects.fetch();
    }
    binding_.managers.update();
}

void BluezOwner::forget() {
    known_ = false;
    name_.clear();
}

bool BluezOwner::sent(sd_bus_message* m) const {
    const char* sender = sd_bus_message_get_sender(m);
    return sender && is(sender);
}

}  // namespace brelo::bluetooth::bluez
