#pragma once

// Small helpers for reading BlueZ's messages defensively. Anyone within radio range writes
// part of what BlueZ sends us, and a property of an unexpected type must count as absent
// rather than abort a whole message, so every variant is entered with the signature we
// expect: -ENXIO from sd-bus means "another type", and the read pointer has not moved.
//
// Conventions: functions return a negative errno when the message itself is malformed
// (the caller drops the rest of it), otherwise a non-negative value.

#include <array>
#include <cerrno>
#include <cstddef>
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

// How one property of an interface is kept: its key, how its variant is read into T (as a
// reader above: negative errno only for a broken message, the field absent when the type
// is another), and how it is dropped when invalidated. A table of them maps an interface's
// a{sv} onto a struct; a property's bit in the values returned below is 1 << its index.
template <class T>
struct PropertyRule {
    std::string_view key;
    int (*read)(sd_bus_message* m, T& into);
    void (*drop)(T& into);
};

template <class T, size_t N>
using PropertyTable = std::array<PropertyRule<T>, N>;

// Reads an a{sv} into `into` by the table; keys not in it are skipped. Returns the bits of
// the table's keys present, whatever their type, or a negative errno.
template <class T, size_t N>
int readProperties(sd_bus_message* m, T& into, const PropertyTable<T, N>& table) {
    unsigned seen = 0;
    int r = forEachProperty(m, [&](std::string_view key) -> int {
        for (size_t i = 0; i < N; ++i)
            if (table[i].key == key) {
                seen |= 1u << i;
                return table[i].read(m, into);
            }
        return sd_bus_message_skip(m, "v");
    });
    return r < 0 ? r : static_cast<int>(seen);
}

// Reads PropertiesChanged's invalidated list ("as") and drops the table's properties in it.
// Returns their bits, or a negative errno.
template <class T, size_t N>
int dropInvalidated(sd_bus_message* m, T& into, const PropertyTable<T, N>& table) {
    unsigned dropped = 0;
    int r = forEachString(m, [&](std::string_view key) {
        for (size_t i = 0; i < N; ++i)
            if (table[i].key == key) {
                dropped |= 1u << i;
                table[i].drop(into);
            }
    });
    return r < 0 ? r : static_cast<int>(dropped);
}

// Copies at most maxBytes of UTF-8 text, cutting before a partial character at the end.
void assignCapped(std::string& out, std::string_view text, size_t maxBytes);

}  // namespace brelo::bluetooth::bluez
