#include "bluetooth/bluez/bluez_calls.h"

#include <cstdarg>

namespace brelo::bluetooth::bluez {

int newBluezCall(sd_bus* bus, MessagePtr& m, const std::string& destination, const std::string& path,
                 const char* interface, const char* member) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, destination.c_str(), path.c_str(), interface, member);
    if (r < 0)
        return r;
    m.reset(raw);
    return sd_bus_message_set_auto_start(raw, 0);
}

int callBluez(sd_bus* bus, sd_bus_slot** slot, const std::string& destination, const std::string& path,
              const char* interface, const char* member, sd_bus_message_handler_t callback, void* userdata,
              const char* types, ...) {
    MessagePtr m;
    int r = newBluezCall(bus, m, destination, path, interface, member);
    if (r >= 0 && types) {
        va_list ap;
        va_start(ap, types);
        r = sd_bus_message_appendv(m.get(), types, ap);
        va_end(ap);
    }
    if (r < 0)
        return r;
    return sd_bus_call_async(bus, slot, m.get(), callback, userdata, 0);
}

}  // namespace brelo::bluetooth::bluez
