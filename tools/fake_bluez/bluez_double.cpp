#include "bluez_double.h"

#include <system_error>

#include "adapter_support.h"

namespace brelo::fakebluez {
namespace {

constexpr const char* kBluezName = "org.bluez";

}  // namespace

BluezDouble::BluezDouble(runtime::EventLoop& loop, Output& out, Options options)
    : loop_(loop), out_(out), options_(std::move(options)) {
    env_.out = &out_;
    env_.impostor = options_.impostor;
}

BluezDouble::~BluezDouble() {
    // The traffic, objects and slots first, then the connection (see the member order).
    commands_.stopTraffic();
    adapters_.clear();
}

void BluezDouble::start(std::function<void()> onReady) {
    onReady_ = std::move(onReady);
    connect();
    if (options_.impostor) {
        loop_.defer([this] { becomeReady(); });
        return;
    }
    requestName();
}

void BluezDouble::connect() {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_new");
    runtime::BusPtr bus{raw};
    if ((r = sd_bus_set_address(raw, options_.busAddress.c_str())) < 0 || (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_set_exit_on_disconnect(raw, 1)) < 0 || (r = sd_bus_start(raw)) < 0)
        throw std::system_error(-r, std::generic_category(), "cannot connect to the bus at " + options_.busAddress);
    if ((r = sd_bus_attach_event(raw, loop_.get(), SD_EVENT_PRIORITY_NORMAL)) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_attach_event");

    sd_bus_slot* slot = nullptr;
    if ((r = sd_bus_add_object_manager(raw, &slot, "/")) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_manager");
    objectManager_.reset(slot);
    if ((r = sd_bus_add_filter(raw, &slot, &BluezDouble::onIncoming, this)) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_filter");
    incomingFilter_.reset(slot);
    // A client's discovery and advertisements end when its connection goes away.
    if ((r = sd_bus_match_signal_async(raw, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameOwnerChanged", &BluezDouble::onNameOwnerChanged,
                                       nullptr, this)) < 0)
        throw std::system_error(-r, std::generic_category(), "watching NameOwnerChanged");
    ownerWatch_.reset(slot);
    bus_ = std::move(bus);
    env_.bus = raw;
}

void BluezDouble::requestName() {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_request_name_async(bus_.get(), &slot, kBluezName, 0, &BluezDouble::onNameReply, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "requesting org.bluez");
    nameRequest_.reset(slot);
}

int BluezDouble::onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    try {
        uint32_t result = 0;
        if (sd_bus_message_is_method_error(m, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            Output::complain(std::string("cannot own org.bluez: ") + (e && e->message ? e->message : "error"));
            self->loop_.exit(1);
            return 0;
        }
        // 1: primary owner, 4: already the owner. 3 means someone else has it.
        if (sd_bus_message_read(m, "u", &result) < 0 || (result != 1 && result != 4)) {
            Output::complain("cannot own org.bluez: another connection owns it");
            self->loop_.exit(1);
            return 0;
        }
        self->becomeReady();
    } catch (const std::exception& e) {
        Output::complain(std::string("becoming ready failed: ") + e.what());
        self->loop_.exit(1);
    }
    return 0;
}

void BluezDouble::becomeReady() {
    // bluetoothd takes its name first and publishes its adapters a moment later.
    if (comeBack_.empty() || publishS_ <= 0) {
        comeBack();
        return;
    }
    publishTimer_ = loop_.after(publishS_, [this] { loop_.defer([this] { publishTimer_.reset(), comeBack(); }); });
}

int BluezDouble::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    try {
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0)
            return 0;
        if (name[0] == ':' && newOwner[0] == '\0')
            for (auto& [adapterName, adapter] : self->adapters_)
                adapter->forgetClient(name);
    } catch (...) {
    }
    return 0;
}

int BluezDouble::onIncoming(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    uint8_t type = 0;
    if (!self->deny_ || sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL)
        return 0;
    try {
        const char* iface = sd_bus_message_get_interface(m);
        const char* member = sd_bus_message_get_member(m);
        const char* path = sd_bus_message_get_path(m);
        self->say("denied " + senderOf(m) + " " + (iface ? iface : "") + "." + (member ? member : "") + " " +
                  (path ? path : ""));
        // What dbus-daemon answers when its policy keeps a client away from org.bluez.
        sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.AccessDenied",
                                   "Rejected send message: the bus policy does not let %s talk to org.bluez",
                                   senderOf(m).c_str());
    } catch (...) {
    }
    return 1;
}

}  // namespace brelo::fakebluez
