#pragma once

// Plays org.bluez on a private bus, from the test's own process, and sends whatever values
// a test builds: enough of BlueZ for a node to listen and advertise (one powered adapter
// with the advertising manager; discovery and registration calls answered at once), plus
// Device1 signals of any shape and type. A second connection that does not own org.bluez
// sends the same signals as an impostor would.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::test {

class HostileBluez {
public:
    using Fill = std::function<void(sd_bus_message*)>;

    explicit HostileBluez(const std::string& address);
    ~HostileBluez();
    HostileBluez(const HostileBluez&) = delete;
    HostileBluez& operator=(const HostileBluez&) = delete;

    // Serves both connections until pred holds or the timeout passes; true when it held.
    bool serveUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    // InterfacesAdded of a Device1 at path whose a{sv} of properties fill appends (as
    // dictionary entries). From org.bluez's owner, or from the impostor connection.
    void deviceAdded(const std::string& path, const Fill& properties, bool impostor = false);
    // PropertiesChanged of Device1 at path: the changed entries, then the invalidated names.
    void deviceChanged(const std::string& path, const Fill& properties, const std::vector<std::string>& invalidated,
                       bool impostor = false);
    // Calls Release on the node's advertisement from the impostor connection; the error name
    // of the answer, or "" when it was accepted.
    std::optional<std::string> releaseFromImpostor(std::chrono::milliseconds timeout);

    size_t calls(const std::string& member) const;
    bool registered() const { return !registrant_.empty(); }

private:
    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept;
    int handle(sd_bus_message* m);
    void reply(sd_bus_message* call, const Fill& fill = {});
    void send(sd_bus* bus, sd_bus_message* m);

    runtime::BusPtr owner_;
    runtime::BusPtr impostor_;
    runtime::SlotPtr filter_;
    std::map<std::string, size_t> calls_;
    std::string registrant_;  // unique name of the node that registered its advertisement
    std::string registeredPath_;
    bool discovering_ = false;
};

// Appends one a{sv} entry whose variant holds a single basic value.
template <class T>
void appendEntry(sd_bus_message* m, const char* key, char type, const T& value) {
    const char signature[2] = {type, 0};
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append_basic(m, 's', key);
    sd_bus_message_open_container(m, 'v', signature);
    if constexpr (std::is_pointer_v<std::decay_t<T>>)
        sd_bus_message_append_basic(m, type, static_cast<const void*>(value));  // a string
    else
        sd_bus_message_append_basic(m, type, &value);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
}

}  // namespace brelo::test
