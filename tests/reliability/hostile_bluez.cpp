#include "hostile_bluez.h"

#include <stdexcept>

#include "reliability_support.h"

namespace brelo::test {
namespace {

constexpr const char* kAdapterPath = "/org/bluez/hci0";

runtime::BusPtr connect(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        throw std::runtime_error("sd_bus_new");
    runtime::BusPtr bus(raw);
    sd_bus_set_address(raw, address.c_str());
    sd_bus_set_bus_client(raw, 1);
    if (sd_bus_start(raw) < 0)
        throw std::runtime_error("cannot reach the private bus");
    return bus;
}

void appendAdapter(sd_bus_message* m, bool discovering) {
    sd_bus_message_append(m, "{sa{sv}}", "org.bluez.Adapter1", 3, "Address", "s", "00:00:00:00:00:01", "Powered", "b",
                          1, "Discovering", "b", discovering);
    sd_bus_message_append(m, "{sa{sv}}", "org.bluez.LEAdvertisingManager1", 1, "ActiveInstances", "y", 0);
}

}  // namespace

HostileBluez::HostileBluez(const std::string& address) : owner_(connect(address)), impostor_(connect(address)) {
    sd_bus_slot* slot = nullptr;
    sd_bus_add_filter(owner_.get(), &slot, &HostileBluez::onMessage, this);
    filter_.reset(slot);
    if (sd_bus_request_name(owner_.get(), "org.bluez", 0) < 0)
        throw std::runtime_error("cannot own org.bluez");
}

HostileBluez::~HostileBluez() { filter_.reset(); }

bool HostileBluez::serveUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const double deadline = monotonicS() + static_cast<double>(timeout.count()) / 1000.0;
    for (;;) {
        while (sd_bus_process(owner_.get(), nullptr) > 0) {
        }
        while (sd_bus_process(impostor_.get(), nullptr) > 0) {
        }
        if (pred())
            return true;
        const double left = deadline - monotonicS();
        if (left <= 0)
            return false;
        // Waits on the owner's connection; the impostor only ever waits for its own replies.
        sd_bus_wait(owner_.get(), static_cast<uint64_t>(std::min(left, 0.05) * 1e6));
    }
}

size_t HostileBluez::calls(const std::string& member) const {
    auto it = calls_.find(member);
    return it == calls_.end() ? 0 : it->second;
}

void HostileBluez::send(sd_bus* bus, sd_bus_message* m) {
    if (sd_bus_send(bus, m, nullptr) < 0)
        throw std::runtime_error("sd_bus_send failed (a message built wrong?)");
}

void HostileBluez::deviceAdded(const std::string& path, const Fill& properties, bool impostor) {
    sd_bus* bus = impostor ? impostor_.get() : owner_.get();
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus, &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "o", path.c_str());
    sd_bus_message_open_container(m.get(), 'a', "{sa{sv}}");
    sd_bus_message_open_container(m.get(), 'e', "sa{sv}");
    sd_bus_message_append(m.get(), "s", "org.bluez.Device1");
    sd_bus_message_open_container(m.get(), 'a', "{sv}");
    properties(m.get());
    sd_bus_message_close_container(m.get());
    sd_bus_message_close_container(m.get());
    sd_bus_message_close_container(m.get());
    send(bus, m.get());
}

void HostileBluez::deviceChanged(const std::string& path, const Fill& properties,
                                 const std::vector<std::string>& invalidated, bool impostor) {
    sd_bus* bus = impostor ? impostor_.get() : owner_.get();
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_signal(bus, &raw, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged");
    runtime::MessagePtr m(raw);
    sd_bus_message_append(m.get(), "s", "org.bluez.Device1");
    sd_bus_message_open_container(m.get(), 'a', "{sv}");
    properties(m.get());
    sd_bus_message_close_container(m.get());
    sd_bus_message_open_container(m.get(), 'a', "s");
    for (const auto& name : invalidated)
        sd_bus_message_append(m.get(), "s", name.c_str());
    sd_bus_message_close_container(m.get());
    send(bus, m.get());
}

std::optional<std::string> HostileBluez::releaseFromImpostor(std::chrono::milliseconds timeout) {
    if (registrant_.empty())
        return std::nullopt;
    std::optional<std::string> answer;
    sd_bus_slot* raw = nullptr;
    sd_bus_call_method_async(
        impostor_.get(), &raw, registrant_.c_str(), registeredPath_.c_str(), "org.bluez.LEAdvertisement1", "Release",
        [](sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            *static_cast<std::optional<std::string>*>(userdata) = e ? e->name : "";
            return 0;
        },
        &answer, "");
    runtime::SlotPtr slot(raw);
    const double deadline = monotonicS() + static_cast<double>(timeout.count()) / 1000.0;
    while (!answer && monotonicS() < deadline) {
        while (sd_bus_process(impostor_.get(), nullptr) > 0) {
        }
        while (sd_bus_process(owner_.get(), nullptr) > 0) {
        }
        if (!answer)
            sd_bus_wait(impostor_.get(), 50000);
    }
    return answer;
}

void HostileBluez::reply(sd_bus_message* call, const Fill& fill) {
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_method_return(call, &raw);
    runtime::MessagePtr m(raw);
    if (fill)
        fill(m.get());
    send(owner_.get(), m.get());
}

int HostileBluez::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    try {
        return static_cast<HostileBluez*>(userdata)->handle(m);
    } catch (...) {
        return 0;
    }
}

int HostileBluez::handle(sd_bus_message* m) {
    if (!sd_bus_message_is_method_call(m, nullptr, nullptr))
        return 0;
    const char* member = sd_bus_message_get_member(m);
    ++calls_[member ? member : ""];
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")) {
        reply(m, [&](sd_bus_message* r) {
            sd_bus_message_open_container(r, 'a', "{oa{sa{sv}}}");
            sd_bus_message_open_container(r, 'e', "oa{sa{sv}}");
            sd_bus_message_append(r, "o", kAdapterPath);
            sd_bus_message_open_container(r, 'a', "{sa{sv}}");
            appendAdapter(r, discovering_);
            sd_bus_message_close_container(r);
            sd_bus_message_close_container(r);
            sd_bus_message_close_container(r);
        });
        return 1;
    }
    if (sd_bus_message_is_method_call(m, "org.bluez.Adapter1", "StartDiscovery")) {
        reply(m);
        if (!discovering_) {
            discovering_ = true;
            sd_bus_message* raw = nullptr;
            sd_bus_message_new_signal(owner_.get(), &raw, kAdapterPath, "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged");
            runtime::MessagePtr s(raw);
            sd_bus_message_append(s.get(), "sa{sv}as", "org.bluez.Adapter1", 1, "Discovering", "b", 1, 0);
            send(owner_.get(), s.get());
        }
        return 1;
    }
    if (sd_bus_message_is_method_call(m, "org.bluez.Adapter1", "SetDiscoveryFilter") ||
        sd_bus_message_is_method_call(m, "org.bluez.Adapter1", "StopDiscovery")) {
        reply(m);
        return 1;
    }
    if (sd_bus_message_is_method_call(m, "org.bluez.LEAdvertisingManager1", "RegisterAdvertisement")) {
        const char* path = nullptr;
        sd_bus_message_read(m, "o", &path);
        registrant_ = sd_bus_message_get_sender(m);
        registeredPath_ = path ? path : "";
        reply(m);
        return 1;
    }
    if (sd_bus_message_is_method_call(m, "org.bluez.LEAdvertisingManager1", "UnregisterAdvertisement")) {
        if (registrant_.empty()) {
            sd_bus_message* raw = nullptr;
            sd_bus_message_new_method_errorf(m, &raw, "org.bluez.Error.DoesNotExist", "Does Not Exist");
            runtime::MessagePtr e(raw);
            send(owner_.get(), e.get());
        } else {
            registrant_.clear();
            reply(m);
        }
        return 1;
    }
    return 0;
}

}  // namespace brelo::test
