#pragma once

// What the fuzz targets share: a failed invariant stops the run with its reason (libFuzzer
// then keeps the input that broke it), and a strict UTF-8 test.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace brelo::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

inline void check(bool holds, const char* what, const std::string& detail = {}) {
    if (!holds)
        fail(what, detail);
}

// Well-formed UTF-8 by nlohmann's strict decoder: no stray continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
inline bool isUtf8(const std::string& s) {
    try {
        (void)nlohmann::json(s).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace brelo::fuzz
