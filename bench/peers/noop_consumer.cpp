// The floor of the naive design, for bench/run to measure the node against: an sd-bus +
// sd-event client that matches BlueZ's PropertiesChanged signals, decodes every changed
// property of a Device1 (RSSI, TxPower, Name, UUIDs, ManufacturerData; anything else is
// skipped), and counts. It keeps nothing and sends nothing. sd-bus dispatches one message
// per loop iteration, so every signal costs its own wake-up: that is the point.
//
// Bus: the system bus (DBUS_SYSTEM_BUS_ADDRESS points it at a private dbus-daemon). At
// start it sets a discovery filter and starts discovery on the adapter (argument, default
// /org/bluez/hci0), as any client must for BlueZ to report advertisements, then prints
// "ready". SIGUSR1 prints "count signals <n> reports <m>"; SIGTERM or SIGINT prints the
// same and exits 0. Reports are the signals whose changed properties include RSSI.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace {

struct Counts {
    uint64_t signals = 0;
    uint64_t reports = 0;
    uint64_t checksum = 0;  // touches every decoded value, so nothing is decoded for nothing
};

int skipOrFail(sd_bus_message* m) {
    int r = sd_bus_message_skip(m, "v");
    return r < 0 ? r : 0;
}

int readInt16Variant(sd_bus_message* m, int16_t& out) {
    int r = sd_bus_message_enter_container(m, 'v', "n");
    if (r == -ENXIO)
        return skipOrFail(m);
    if (r < 0)
        return r;
    if ((r = sd_bus_message_read(m, "n", &out)) < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int readManufacturerData(sd_bus_message* m, Counts& counts) {
    int r = sd_bus_message_enter_container(m, 'v', "a{qv}");
    if (r == -ENXIO)
        return skipOrFail(m);
    if (r < 0 || (r = sd_bus_message_enter_container(m, 'a', "{qv}")) < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "qv")) > 0) {
        uint16_t company = 0;
        if ((r = sd_bus_message_read(m, "q", &company)) < 0)
            return r;
        r = sd_bus_message_enter_container(m, 'v', "ay");
        if (r == -ENXIO) {
            if ((r = sd_bus_message_skip(m, "v")) < 0)
                return r;
        } else if (r < 0) {
            return r;
        } else {
            const void* bytes = nullptr;
            size_t size = 0;
            if ((r = sd_bus_message_read_array(m, 'y', &bytes, &size)) < 0)
                return r;
            counts.checksum += company + size + (size ? *static_cast<const uint8_t*>(bytes) : 0);
            if ((r = sd_bus_message_exit_container(m)) < 0)
                return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int readStringVariant(sd_bus_message* m, Counts& counts) {
    int r = sd_bus_message_enter_container(m, 'v', "s");
    if (r == -ENXIO)
        return skipOrFail(m);
    const char* s = nullptr;
    if (r < 0 || (r = sd_bus_message_read(m, "s", &s)) < 0)
        return r;
    counts.checksum += std::strlen(s);
    return sd_bus_message_exit_container(m);
}

int readStringsVariant(sd_bus_message* m, Counts& counts) {
    int r = sd_bus_message_enter_container(m, 'v', "as");
    if (r == -ENXIO)
        return skipOrFail(m);
    if (r < 0 || (r = sd_bus_message_enter_container(m, 'a', "s")) < 0)
        return r;
    const char* s = nullptr;
    while ((r = sd_bus_message_read(m, "s", &s)) > 0)
        counts.checksum += std::strlen(s);
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int decode(sd_bus_message* m, Counts& counts) {
    const char* interface = nullptr;
    int r = sd_bus_message_read(m, "s", &interface);
    if (r < 0)
        return r;
    if (std::strcmp(interface, "org.bluez.Device1") != 0)
        return 0;
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
        return r;
    bool hasRssi = false;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0)
            return r;
        int16_t value = 0;
        if (std::strcmp(key, "RSSI") == 0) {
            r = readInt16Variant(m, value);
            hasRssi = true;
            counts.checksum += static_cast<uint16_t>(value);
        } else if (std::strcmp(key, "TxPower") == 0) {
            r = readInt16Variant(m, value);
            counts.checksum += static_cast<uint16_t>(value);
        } else if (std::strcmp(key, "ManufacturerData") == 0) {
            r = readManufacturerData(m, counts);
        } else if (std::strcmp(key, "Name") == 0) {
            r = readStringVariant(m, counts);
        } else if (std::strcmp(key, "UUIDs") == 0) {
            r = readStringsVariant(m, counts);
        } else {
            r = sd_bus_message_skip(m, "v");
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    // The invalidated properties.
    if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0)
        return r;
    const char* name = nullptr;
    while ((r = sd_bus_message_read(m, "s", &name)) > 0)
        counts.checksum += std::strlen(name);
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    if (hasRssi)
        ++counts.reports;
    return 0;
}

int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
    auto& counts = *static_cast<Counts*>(userdata);
    ++counts.signals;
    (void)decode(m, counts);  // a malformed signal is counted and otherwise ignored
    return 0;
}

void printCounts(const Counts& counts) {
    std::printf("count signals %llu reports %llu checksum %llu\n", static_cast<unsigned long long>(counts.signals),
                static_cast<unsigned long long>(counts.reports), static_cast<unsigned long long>(counts.checksum));
    std::fflush(stdout);
}

int onCount(sd_event_source*, const struct signalfd_siginfo*, void* userdata) noexcept {
    printCounts(*static_cast<const Counts*>(userdata));
    return 0;
}

int onStop(sd_event_source* source, const struct signalfd_siginfo*, void* userdata) noexcept {
    printCounts(*static_cast<const Counts*>(userdata));
    return sd_event_exit(sd_event_source_get_event(source), 0);
}

// The same filter as the node's, then discovery. Blocking calls: this is start-up.
int startDiscovery(sd_bus* bus, const char* adapter) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(bus, "org.bluez", adapter, "org.bluez.Adapter1", "SetDiscoveryFilter", &error, nullptr,
                               "a{sv}", 3, "Transport", "s", "le", "DuplicateData", "b", 1, "RSSI", "n",
                               static_cast<int16_t>(-127));
    if (r >= 0)
        r = sd_bus_call_method(bus, "org.bluez", adapter, "org.bluez.Adapter1", "StartDiscovery", &error, nullptr, "");
    if (r < 0)
        std::fprintf(stderr, "noop consumer: discovery: %s\n", error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const char* adapter = argc > 1 ? argv[1] : "/org/bluez/hci0";
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGUSR1);
    sigprocmask(SIG_BLOCK, &handled, nullptr);

    Counts counts;
    sd_event* event = nullptr;
    sd_bus* bus = nullptr;
    int r = sd_event_default(&event);
    if (r >= 0)
        r = sd_event_add_signal(event, nullptr, SIGTERM, onStop, &counts);
    if (r >= 0)
        r = sd_event_add_signal(event, nullptr, SIGINT, onStop, &counts);
    if (r >= 0)
        r = sd_event_add_signal(event, nullptr, SIGUSR1, onCount, &counts);
    if (r >= 0)
        r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0)
        r = sd_bus_match_signal(bus, nullptr, "org.bluez", nullptr, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", onPropertiesChanged, &counts);
    if (r >= 0)
        r = startDiscovery(bus, adapter);
    if (r < 0) {
        std::fprintf(stderr, "noop consumer: cannot start: %s\n", std::strerror(-r));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    r = sd_event_loop(event);
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    return r < 0 ? 1 : 0;
}
