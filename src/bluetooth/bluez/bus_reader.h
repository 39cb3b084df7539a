#pragma once

// Small helpers for reading BlueZ's messages defensively. Anyone within radio range writes
// part of what BlueZ sends us, and a property of an unexpected type must count as absent
// rather than abort a whole message, so every variant is entered with the signature we
// expect: -ENXIO from sd-bus means "another type", and the read pointer has not moved.
//
// Conventions: functions return a negative errno when the message itself is malformed
// (the caller drops the rest of it), otherwise a non-negative value.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

namespace brelo::bluetooth::bluez {

// Enters a variant holding `contents`, runs read() inside it and leaves it. Returns 1 when
// read, 0 when the variant held another type (skipped), negative errno on a broken message.
template <class Read>
int readVariant(sd_bus_message* m, const char* contents, Read&& read) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents);
    if (r == -ENXIO) {
        r = sd_bus_message_skip(m, "v");
        return r < 0 ? r : 0;
    }
    if (r < 0)
        return r;
    if (r == 0)
        return -EBADMSG;
    r = read();
    if (r < 0)
        return r;
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
}

// Variant holding one basic value. out is set when the type matched and reset otherwise.
int readVariantBool(sd_bus_message* m, std::optional<bool>& out);
int readVariantInt16(sd_bus_message* m, std::optional<int16_t>& out);
// The string stays owned by the message; it is set to nullptr when the type did not match.
int readVariantString(sd_bus_message* m, const char*& out);

// Walks an a{sv}: calls onEntry(key) with the read pointer on each value, which onEntry must
// consume (read or skip) and return a negative errno for a broken message.
template <class OnEntry>
int forEachProperty(sd_bus_message* m, OnEntry&& onEntry) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r < 0)
        return r;
    if (r == 0)
        return -EBADMSG;
    for (;;) {
        r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r < 0)
            return r;
        if (r == 0)
            break;
        const char* key = nullptr;
        r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &key);
        if (r <= 0)
            return r < 0 ? r : -EBADMSG;
        r = onEntry(std::string_view(key));
        if (r < 0)
            return r;
        r = sd_bus_message_exit_container(m);
        if (r < 0)
            return r;
    }
    return sd_bus_message_exit_container(m);
}

// Walks an "as" (PropertiesChanged's invalidated list, InterfacesRemoved's interfaces).
template <class OnString>
int forEachString(sd_bus_message* m, OnString&& onString) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s");
    if (r < 0)
        return r;
    if (r == 0)
        return -EBADMSG;
    for (;;) {
        const char* s = nullptr;
        r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &s);
        if (r < 0)
            return r;
        if (r == 0)
            break;
        onString(std::string_view(s));
    }
    return sd_bus_message_exit_container(m);
}

// Copies at most maxBytes of UTF-8 text, cutting before a partial character at the end.
void assignCapped(std::string& out, std::string_view text, size_t maxBytes);

}  // namespace brelo::bluetooth::bluez
