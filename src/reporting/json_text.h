#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brelo::reporting {

// Appends compact JSON text to a string, exactly as nlohmann's dump(-1, ' ', false,
// error_handler_t::replace) writes it (invalid UTF-8 replaced, never an error), but
// without its character-by-character output. Every flush writes a few hundred bytes per
// device, nearly all plain ASCII that can be copied as it stands; anything out of the
// ordinary (escapes, non-ASCII text, the digits of a floating-point number) is left to
// nlohmann, so the text stays the library's own.
class JsonText {
public:
    explicit JsonText(std::string& out) : out_(out) {}

    void value(const nlohmann::json& v);
    void string(std::string_view s);
    void integer(int64_t n);
    void integer(uint64_t n);
    // The digits of the last number are kept: all records of one flush share one "ts".
    void floating(double x);
    // Text that is already JSON (punctuation, keys known to need no escaping).
    void raw(std::string_view text) { out_ += text; }
    void raw(char c) { out_.push_back(c); }

    std::string& out() { return out_; }

private:
    std::string& out_;
    std::optional<uint64_t> lastFloatBits_;
    std::string lastFloatText_;
};

// nlohmann's compact dump with invalid UTF-8 replaced.
std::string dumpReplacing(const nlohmann::json& value);

}  // namespace brelo::reporting
