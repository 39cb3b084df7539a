#include "reporting/json_text.h"

#include <bit>
#include <charconv>

namespace brelo::reporting {

using Json = nlohmann::json;

std::string dumpReplacing(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void JsonText::value(const Json& v) {
    switch (v.type()) {
    case Json::value_t::string:
        string(v.get_ref<const Json::string_t&>());
        return;
    case Json::value_t::number_integer:
        integer(static_cast<int64_t>(v.get<Json::number_integer_t>()));
        return;
    case Json::value_t::number_unsigned:
        integer(static_cast<uint64_t>(v.get<Json::number_unsigned_t>()));
        return;
    case Json::value_t::number_float:
        floating(v.get<Json::number_float_t>());
        return;
    case Json::value_t::boolean:
        out_ += v.get<bool>() ? "true" : "false";
        return;
    case Json::value_t::null:
        out_ += "null";
        return;
    case Json::value_t::array: {
        out_.push_back('[');
        bool first = true;
        for (const auto& element : v.get_ref<const Json::array_t&>()) {
            if (!first)
                out_.push_back(',');
            first = false;
            value(element);
        }
        out_.push_back(']');
        return;
    }
    case Json::value_t::object: {
        // std::map order: the keys sorted, as nlohmann writes them.
        out_.push_back('{');
        bool first = true;
        for (const auto& [key, element] : v.get_ref<const Json::object_t&>()) {
            if (!first)
                out_.push_back(',');
            first = false;
            string(key);
            out_.push_back(':');
            value(element);
        }
        out_.push_back('}');
        return;
    }
    default:
        out_ += dumpReplacing(v);
        return;
    }
}

void JsonText::string(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            out_ += dumpReplacing(Json(std::string(s)));
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

void JsonText::integer(uint64_t n) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, n);
    out_.append(digits, result.ptr);
}

void JsonText::floating(double x) {
    const auto bits = std::bit_cast<uint64_t>(x);
    if (lastFloatBits_ != bits) {
        lastFloatText_ = Json(x).dump();
        lastFloatBits_ = bits;
    }
    out_ += lastFloatText_;
}

}  // namespace brelo::reporting
