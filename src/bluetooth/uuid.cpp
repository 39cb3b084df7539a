#include "bluetooth/uuid.h"

#include <cstring>

namespace brelo::bluetooth {
namespace {

// 00000000-0000-1000-8000-00805F9B34FB
constexpr Uuid::Bytes kBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads 2*n hex digits into out; false on any non-hex character.
bool readHex(std::string_view text, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

void appendHex(std::string& out, const uint8_t* bytes, size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xF]);
    }
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
    Bytes b = kBase;
    if (text.size() == 4) {
        if (!readHex(text, b.data() + 2, 2))
            return std::nullopt;
        return Uuid(b);
    }
    if (text.size() == 8) {
        if (!readHex(text, b.data(), 4))
            return std::nullopt;
        return Uuid(b);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    if (!readHex(text.substr(0, 8), b.data(), 4) || !readHex(text.substr(9, 4), b.data() + 4, 2) ||
        !readHex(text.substr(14, 4), b.data() + 6, 2) || !readHex(text.substr(19, 4), b.data() + 8, 2) ||
        !readHex(text.substr(24, 12), b.data() + 10, 6))
        return std::nullopt;
    return Uuid(b);
}

std::string Uuid::canonical() const {
    std::string out;
    out.reserve(36);
    appendHex(out, bytes_.data(), 4);
    out.push_back('-');
    appendHex(out, bytes_.data() + 4, 2);
    out.push_back('-');
    appendHex(out, bytes_.data() + 6, 2);
    out.push_back('-');
    appendHex(out, bytes_.data() + 8, 2);
    out.push_back('-');
    appendHex(out, bytes_.data() + 10, 6);
    return out;
}

std::string Uuid::string() const {
    if (std::memcmp(bytes_.data() + 4, kBase.data() + 4, 12) != 0)
        return canonical();
    std::string out;
    if (bytes_[0] == 0 && bytes_[1] == 0) {
        appendHex(out, bytes_.data() + 2, 2);
    } else {
        appendHex(out, bytes_.data(), 4);
    }
    return out;
}

size_t UuidHash::operator()(const Uuid& u) const noexcept {
    // Two 64-bit halves folded and mixed (the finaliser of SplitMix64): every byte reaches
    // every bit of the result in a few instructions. The listener hashes an identifier for
    // every advertisement, so a byte-at-a-time hash is a measurable share of ingest.
    uint64_t a = 0;
    uint64_t b = 0;
    std::memcpy(&a, u.bytes().data(), 8);
    std::memcpy(&b, u.bytes().data() + 8, 8);
    uint64_t h = a ^ (b * 0x9E3779B97F4A7C15ull);
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    return static_cast<size_t>(h ^ (h >> 31));
}

}  // namespace brelo::bluetooth
