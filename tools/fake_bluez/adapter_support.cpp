#include "adapter_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace brelo::fakebluez {

std::string senderOf(sd_bus_message* m) {
    const char* s = sd_bus_message_get_sender(m);
    return s ? s : "(unknown)";
}

bool validAdapterName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_';
    });
}

std::string defaultAdapterAddress(size_t index) {
    char text[18];
    std::snprintf(text, sizeof text, "00:1A:7D:DA:71:%02X", static_cast<unsigned>(index & 0xff));
    return text;
}

std::string quoteIfSpaced(const std::string& v) {
    return v.find(' ') == std::string::npos && !v.empty() ? v : "\"" + v + "\"";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (auto& i : items)
        out += (out.empty() ? "" : ",") + i;
    return out;
}

std::string variantSignature(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents)
        return "?";
    return contents;
}

int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(m, 'v', "as");
    if (r < 0)
        return r;
    r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0)
        return r;
    const char* s = nullptr;
    while ((r = sd_bus_message_read(m, "s", &s)) > 0)
        out.emplace_back(s);
    if (r < 0)
        return r;
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

bool readByteArrayDict(sd_bus_message* m, char keyType, std::map<uint16_t, std::vector<uint8_t>>* out) {
    std::string outer = std::string("a{") + keyType + "v}";
    std::string entry = std::string(1, keyType) + "v";
    std::string dict = std::string("{") + keyType + "v}";
    if (sd_bus_message_enter_container(m, 'v', outer.c_str()) < 0 ||
        sd_bus_message_enter_container(m, 'a', dict.c_str()) < 0)
        return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', entry.c_str())) > 0) {
        uint16_t company = 0;
        if (keyType == 'q') {
            if (sd_bus_message_read(m, "q", &company) < 0)
                return false;
        } else if (sd_bus_message_skip(m, std::string(1, keyType).c_str()) < 0) {
            return false;
        }
        if (variantSignature(m) != "ay" || sd_bus_message_enter_container(m, 'v', "ay") < 0)
            return false;
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &data, &size) < 0)
            return false;
        if (out) {
            auto* bytes = static_cast<const uint8_t*>(data);
            (*out)[company] = std::vector<uint8_t>(bytes, bytes + size);
        }
        if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
            return false;
    }
    return r >= 0 && sd_bus_message_exit_container(m) >= 0 && sd_bus_message_exit_container(m) >= 0;
}

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace brelo::fakebluez
