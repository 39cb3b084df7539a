#include "reporting/json_text.h"

#include <charconv>

#include <nlohmann/json.hpp>

namespace brelo::reporting {

using Json = nlohmann::json;

std::string floatingText(double x) {
    return Json(x).dump();
}

void JsonText::string(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            out_ += Json(std::string(s)).dump(-1, ' ', false, Json::error_handler_t::replace);
            return;
        }
    }
    out_.push_back('"');
    out_ += s;
    out_.push_back('"');
}

void JsonText::integer(int64_t n) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, n);
    out_.append(digits, result.ptr);
}

void JsonText::floating(double x) {
    out_ += floatingText(x);
}

}  // namespace brelo::reporting
