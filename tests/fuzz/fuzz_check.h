#pragma once

// What the fuzz targets share: a failed invariant stops the run with its reason (libFuzzer
// then keeps the input that broke it), and a strict UTF-8 test.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace brelo::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

inline void check(bool holds, const char* what, const std::string& detail = {}) {
    if (!holds)
        fail(what, detail);
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF.
inline bool isUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size())
                return false;
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

}  // namespace brelo::fuzz
