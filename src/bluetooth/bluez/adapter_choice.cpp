#include "bluetooth/bluez/adapter_choice.h"

#include <utility>

#include "bluetooth/bluez/bluez_binding.h"

namespace brelo::bluetooth::bluez {

AdapterChoice::AdapterChoice(BluezBinding& binding)
    : binding_(binding),
      settleAlarm_(binding.loop,
                   [this] {
                       settled_ = true;
                       choose();
                       binding_.managers.update();
                   }),
      graceAlarm_(binding.loop, [this] {
          choose();
          binding_.managers.update();
      }) {}

void AdapterChoice::forget() {
    if (graceAlarm_.armed())
        preferred_ = lost_;
    else if (!path_.empty())
        preferred_ = path_;
    graceAlarm_.cancel();
    settleAlarm_.cancel();
    settled_ = false;
    settleShort_ = false;
    path_.clear();
}

void AdapterChoice::choose() {
    const ObjectCache& cache = binding_.objects.cache();
    std::string next = path_;
    if (!next.empty() && !cache.adapter(next)) {
        // When adapters go one after the other, the first one lost is the one to come back to.
        if (!graceAlarm_.armed()) {
            lost_ = next;
            graceAlarm_.arm(binding_.options.adapterGraceS);
        }
        next.clear();
    }
    if (next.empty()) {
        if (!settled_ && !preferred_.empty() && cache.adapter(preferred_)) {
            next = preferred_;
            settled_ = true;
            settleAlarm_.cancel();
        } else if (settled_ && !cache.adapters().empty()) {
            next = cache.adapters().begin()->first;
        }
    }
    if (next == path_)
        return;
    path_ = std::move(next);
    binding_.adapterChanged();
}

void AdapterChoice::settleLater() {
    if (settled_ || !binding_.objects.known())
        return;
    const bool any = !binding_.objects.cache().adapters().empty();
    if (settleAlarm_.armed() && (settleShort_ || !any))
        return;
    settleShort_ = any;
    settleAlarm_.arm(any ? binding_.options.adapterSettleS : binding_.options.adapterWaitS);
}

}  // namespace brelo::bluetooth::bluez
