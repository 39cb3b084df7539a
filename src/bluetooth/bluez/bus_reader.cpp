#include "bluetooth/bluez/bus_reader.h"

namespace brelo::bluetooth::bluez {
namespace {

template <class T>
int readVariantBasic(sd_bus_message* m, char type, const char* contents, std::optional<T>& out) {
    T value{};
    int r = readVariant(m, contents, [&] {
        int rr = sd_bus_message_read_basic(m, type, &value);
        return rr <= 0 ? (rr < 0 ? rr : -EBADMSG) : 0;
    });
    if (r > 0)
        out = value;
    else
        out.reset();
    return r;
}

}  // namespace

int readVariantBool(sd_bus_message* m, std::optional<bool>& out) {
    std::optional<int> raw;  // sd-bus reads a D-Bus boolean into an int
    int r = readVariantBasic(m, SD_BUS_TYPE_BOOLEAN, "b", raw);
    if (raw)
        out = *raw != 0;
    else
        out.reset();
    return r;
}

int readVariantInt16(sd_bus_message* m, std::optional<int16_t>& out) {
    return readVariantBasic(m, SD_BUS_TYPE_INT16, "n", out);
}

int readVariantString(sd_bus_message* m, const char*& out) {
    out = nullptr;
    return readVariant(m, "s", [&] {
        int r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &out);
        return r <= 0 ? (r < 0 ? r : -EBADMSG) : 0;
    });
}

void assignCapped(std::string& out, std::string_view text, size_t maxBytes) {
    if (text.size() > maxBytes) {
        size_t end = maxBytes;
        // Step back over continuation bytes (10xxxxxx) so no character is cut in half.
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text = text.substr(0, end);
    }
    out.assign(text);
}

}  // namespace brelo::bluetooth::bluez
