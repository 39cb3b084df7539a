#include "listener/hex.h"

namespace brelo::listener {

void appendHex(std::string& out, std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    for (uint8_t byte : bytes) {
        out[at++] = kDigits[byte >> 4];
        out[at++] = kDigits[byte & 0xF];
    }
}

std::string hexText(std::span<const uint8_t> bytes) {
    std::string out;
    appendHex(out, bytes);
    return out;
}

}  // namespace brelo::listener
