#include "bus_values.h"

#include "runtime/handles.h"

namespace brelo::fakebluez {
namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

constexpr const char* kSignatures[] = {"b", "y", "n", "q", "u", "s", "o", "as", "a{qv}"};
static_assert(std::size(kSignatures) == std::variant_size_v<Value>);

int appendContents(sd_bus_message* m, const Value& value) {
    return std::visit(
        Overload{
            [&](bool v) { return sd_bus_message_append(m, "b", static_cast<int>(v)); },
            [&](uint8_t v) { return sd_bus_message_append(m, "y", v); },
            [&](int16_t v) { return sd_bus_message_append(m, "n", v); },
            [&](uint16_t v) { return sd_bus_message_append(m, "q", v); },
            [&](uint32_t v) { return sd_bus_message_append(m, "u", v); },
            [&](const std::string& v) { return sd_bus_message_append(m, "s", v.c_str()); },
            [&](const ObjectPath& v) { return sd_bus_message_append(m, "o", v.path.c_str()); },
            [&](const Strings& list) {
                int r = sd_bus_message_open_container(m, 'a', "s");
                for (size_t i = 0; r >= 0 && i < list.size(); ++i)
                    r = sd_bus_message_append(m, "s", list[i].c_str());
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            [&](const CompanyData& data) {
                int r = sd_bus_message_open_container(m, 'a', "{qv}");
                for (auto it = data.begin(); r >= 0 && it != data.end(); ++it) {
                    r = sd_bus_message_open_container(m, 'e', "qv");
                    if (r >= 0)
                        r = sd_bus_message_append(m, "q", it->first);
                    if (r >= 0)
                        r = sd_bus_message_open_container(m, 'v', "ay");
                    if (r >= 0)
                        r = sd_bus_message_append_array(m, 'y', it->second.data(), it->second.size());
                    for (int i = 0; r >= 0 && i < 2; ++i)
                        r = sd_bus_message_close_container(m);
                }
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
        },
        value);
}

// ManufacturerData: a{qv}, every value a byte array, else no value at all.
int readCompanyData(sd_bus_message* m, Entry& entry) {
    CompanyData data;
    bool bytesOnly = true;
    int r = sd_bus_message_enter_container(m, 'v', "a{qv}");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "{qv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "qv")) > 0) {
        uint16_t company = 0;
        const char* inner = nullptr;
        char type = 0;
        if ((r = sd_bus_message_read(m, "q", &company)) < 0 || (r = sd_bus_message_peek_type(m, &type, &inner)) < 0)
            return r;
        if (inner && std::string(inner) == "ay" && (r = sd_bus_message_enter_container(m, 'v', "ay")) >= 0) {
            const void* bytes = nullptr;
            size_t size = 0;
            if ((r = sd_bus_message_read_array(m, 'y', &bytes, &size)) < 0)
                return r;
            put(data, company, Bytes(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size));
            r = sd_bus_message_exit_container(m);
        } else {
            bytesOnly = false;
            r = sd_bus_message_skip(m, "v");
        }
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    }
    if (r >= 0 && (r = sd_bus_message_exit_container(m)) >= 0)
        r = sd_bus_message_exit_container(m);
    if (bytesOnly)
        entry.value = std::move(data);
    return r;
}

int readVariant(sd_bus_message* m, Entry& entry) {
    const std::string& sig = entry.signature;
    if (sig == "a{qv}")
        return readCompanyData(m, entry);
    if (sig == "as") {
        Strings list;
        const char* s = nullptr;
        int r = sd_bus_message_enter_container(m, 'v', "as");
        if (r >= 0)
            r = sd_bus_message_enter_container(m, 'a', "s");
        while (r >= 0 && (r = sd_bus_message_read(m, "s", &s)) > 0)
            list.emplace_back(s);
        if (r >= 0 && (r = sd_bus_message_exit_container(m)) >= 0)
            r = sd_bus_message_exit_container(m);
        entry.value = std::move(list);
        return r;
    }
    if (sig.size() != 1 || std::string("bynqso").find(sig[0]) == std::string::npos)
        return sd_bus_message_skip(m, "v");
    int r = sd_bus_message_enter_container(m, 'v', sig.c_str());
    if (r < 0)
        return r;
    union {
        int b;
        uint8_t y;
        int16_t n;
        uint16_t q;
        const char* s;
    } v{};
    if ((r = sd_bus_message_read_basic(m, sig[0], &v)) < 0)
        return r;
    switch (sig[0]) {
        case 'b': entry.value = v.b != 0; break;
        case 'y': entry.value = v.y; break;
        case 'n': entry.value = v.n; break;
        case 'q': entry.value = v.q; break;
        case 'o': entry.value = ObjectPath{v.s}; break;
        default: entry.value = std::string(v.s);
    }
    return sd_bus_message_exit_container(m);
}

}  // namespace

int appendValue(sd_bus_message* m, const Value& value) {
    int r = sd_bus_message_open_container(m, 'v', kSignatures[value.index()]);
    if (r >= 0)
        r = appendContents(m, value);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int readEntries(sd_bus_message* m, Entries& out) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        char type = 0;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        Entry entry{contents ? contents : "?", std::nullopt};
        if ((r = readVariant(m, entry)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        out.emplace_back(key, std::move(entry));
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

std::string shown(const Value& value) {
    return std::visit(Overload{
                          [](bool v) -> std::string { return v ? "true" : "false"; },
                          [](const std::string& v) { return v.empty() || v.find(' ') != v.npos ? '"' + v + '"' : v; },
                          [](const ObjectPath& v) { return v.path; },
                          [](const Strings& list) {
                              std::string out;
                              for (auto& s : list)
                                  out += (out.empty() ? "" : ",") + s;
                              return out;
                          },
                          [](const CompanyData& data) { return std::to_string(data.size()) + " companies"; },
                          [](auto number) { return std::to_string(number); },
                      },
                      value);
}

int emitInterfacesAdded(sd_bus* bus, const std::string& path, const Interfaces& interfaces,
                        const std::string& destination) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus, &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    runtime::MessagePtr m(raw);
    if (r >= 0 && !destination.empty())
        r = sd_bus_message_set_destination(raw, destination.c_str());
    if (r >= 0)
        r = sd_bus_message_append(raw, "o", path.c_str());
    if (r >= 0)
        r = appendInterfaces(raw, interfaces);
    return r < 0 ? r : sd_bus_send(bus, raw, nullptr);
}

int emitInterfacesRemoved(sd_bus* bus, const std::string& path, const Strings& interfaces) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus, &raw, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
    runtime::MessagePtr m(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "o", path.c_str());
    if (r >= 0)
        r = appendContents(raw, interfaces);
    return r < 0 ? r : sd_bus_send(bus, raw, nullptr);
}

int emitPropertiesChanged(sd_bus* bus, const std::string& path, const std::string& interface,
                          const Properties& changed, const Strings& invalidated) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus, &raw, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged");
    runtime::MessagePtr m(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "s", interface.c_str());
    if (r >= 0)
        r = appendProperties(raw, changed);
    if (r >= 0)
        r = appendContents(raw, invalidated);
    return r < 0 ? r : sd_bus_send(bus, raw, nullptr);
}

std::string senderOf(sd_bus_message* m) {
    const char* s = sd_bus_message_get_sender(m);
    return s ? s : "(unknown)";
}

}  // namespace brelo::fakebluez
