#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelo::reporting {

// Appends compact JSON to a string. Every flush writes a few hundred bytes per device,
// nearly all plain ASCII that can be copied as it stands; a text with anything else in it
// (escapes, non-ASCII, invalid UTF-8, which is replaced and never an error) and the digits
// of a floating-point number are left to nlohmann.
class JsonText {
public:
    explicit JsonText(std::string& out) : out_(out) {}

    void string(std::string_view s);
    void integer(int64_t n);
    void floating(double x);
    // Text that is already JSON (punctuation, keys known to need no escaping).
    void raw(std::string_view text) { out_ += text; }
    void raw(char c) { out_.push_back(c); }

private:
    std::string& out_;
};

// A floating-point number as JSON: always with a fraction or an exponent ("2.0", never "2").
std::string floatingText(double x);

}  // namespace brelo::reporting
