#include "listener/hex.h"

#include <array>
#include <cstring>

namespace brelo::listener {
namespace {

// The two digits of every byte value. Ingest writes manufacturer data as hex for every
// advertisement, so this is a hot loop: one table load and one two-byte store per byte.
constexpr std::array<char, 512> kPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> pairs{};
    for (size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = digits[b >> 4];
        pairs[2 * b + 1] = digits[b & 0xF];
    }
    return pairs;
}();

}  // namespace

void appendHex(std::string& out, std::span<const uint8_t> bytes) {
    const size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    // Through a local pointer: stores through std::string's own would make the compiler
    // reload its data pointer after every character.
    char* p = out.data() + at;
    for (uint8_t byte : bytes) {
        std::memcpy(p, &kPairs[2 * size_t{byte}], 2);
        p += 2;
    }
}

}  // namespace brelo::listener
