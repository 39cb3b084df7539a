#pragma once

// Real, sealed sd-bus messages without a bus daemon: the decoders read exactly what they
// would read from BlueZ.

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::test {

class OfflineBus {
public:
    OfflineBus() {
        if (sd_bus_new(&bus_) < 0)
            throw std::runtime_error("sd_bus_new failed");
        // A bus that never connects still makes messages.
        sd_bus_set_address(bus_, "unix:path=/nonexistent/brelo-offline-bus");
        sd_bus_start(bus_);
    }
    // sd_bus_flush_close_unref would wait on a bus that never started.
    ~OfflineBus() { sd_bus_close_unref(bus_); }
    OfflineBus(const OfflineBus&) = delete;
    OfflineBus& operator=(const OfflineBus&) = delete;

    // A signal on path whose body fill() appends; sealed and rewound, ready to read.
    runtime::MessagePtr signal(const char* path, const char* interface, const char* member,
                               const std::function<void(sd_bus_message*)>& fill) {
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_signal(bus_, &raw, path, interface, member) < 0)
            throw std::runtime_error("sd_bus_message_new_signal failed");
        runtime::MessagePtr m(raw);
        fill(m.get());
        if (sd_bus_message_seal(m.get(), ++cookie_, 0) < 0)
            throw std::runtime_error("sd_bus_message_seal failed (body not appended right?)");
        sd_bus_message_rewind(m.get(), 1);
        return m;
    }

    // PropertiesChanged(interface, changed, invalidated) on path.
    runtime::MessagePtr propertiesChanged(const char* path, const char* interface,
                                          const std::function<void(sd_bus_message*)>& appendChanged,
                                          const std::vector<const char*>& invalidated = {}) {
        return signal(path, "org.freedesktop.DBus.Properties", "PropertiesChanged", [&](sd_bus_message* m) {
            sd_bus_message_append(m, "s", interface);
            appendChanged(m);
            sd_bus_message_open_container(m, 'a', "s");
            for (const char* name : invalidated)
                sd_bus_message_append(m, "s", name);
            sd_bus_message_close_container(m);
        });
    }

private:
    sd_bus* bus_ = nullptr;
    uint64_t cookie_ = 0;
};

}  // namespace brelo::test
