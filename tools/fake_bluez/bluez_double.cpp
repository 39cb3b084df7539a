#include "bluez_double.h"

#include <iostream>
#include <system_error>

namespace brelo::fakebluez {
namespace {

void check(int r, const std::string& what) {
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), what);
}

}  // namespace

BluezDouble::BluezDouble(runtime::EventLoop& loop, Say say, Options options)
    : loop_(loop), options_(std::move(options)) {
    env_.loop = &loop_;
    env_.say = std::move(say);
    env_.impostor = options_.impostor;
}

void BluezDouble::start(std::function<void()> onReady) {
    onReady_ = std::move(onReady);
    connect();
    if (options_.impostor)
        loop_.defer([this] { say("ready"), onReady_(); });
}

void BluezDouble::connect() {
    sd_bus* raw = nullptr;
    check(sd_bus_new(&raw), "sd_bus_new");
    runtime::BusPtr bus{raw};
    int r = sd_bus_set_address(raw, options_.busAddress.c_str());
    if (r >= 0 && (r = sd_bus_set_bus_client(raw, 1)) >= 0 && (r = sd_bus_set_exit_on_disconnect(raw, 1)) >= 0)
        r = sd_bus_start(raw);
    check(r, "cannot connect to the bus at " + options_.busAddress);
    check(sd_bus_attach_event(raw, loop_.get(), SD_EVENT_PRIORITY_NORMAL), "sd_bus_attach_event");
    sd_bus_slot* slot = nullptr;
    check(sd_bus_add_fallback(raw, &slot, "/", &CallDispatcher::onMethodCall, &calls_), "sd_bus_add_fallback");
    slots_.emplace_back(slot);
    // A client's discovery and advertisements end when its connection goes away.
    check(sd_bus_match_signal_async(raw, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameOwnerChanged", &BluezDouble::onNameOwnerChanged, nullptr, this),
          "watching NameOwnerChanged");
    slots_.emplace_back(slot);
    if (!options_.impostor) {
        check(sd_bus_request_name_async(raw, &slot, "org.bluez", 0, &BluezDouble::onNameReply, this),
              "requesting org.bluez");
        slots_.emplace_back(slot);
    }
    bus_ = std::move(bus);
    env_.bus = raw;
}

int BluezDouble::onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    uint32_t result = 0;
    // 1: primary owner, 4: already the owner; 3: someone else has it.
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "u", &result) < 0 ||
        (result != 1 && result != 4)) {
        std::cerr << "fake-bluez: cannot own org.bluez\n";
        self->loop_.exit(1);
        return 0;
    }
    self->say("ready");
    self->onReady_();
    return 0;
}

int BluezDouble::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && name[0] == ':' && !*newOwner)
        for (auto& [adapterName, adapter] : self->adapters_)
            adapter->forgetClient(name);
    return 0;
}

}  // namespace brelo::fakebluez
