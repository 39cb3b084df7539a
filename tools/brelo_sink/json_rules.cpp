#include "json_rules.h"

#include <algorithm>

namespace brelo::sink {

using nlohmann::json;

const char* typeName(Type type) {
    switch (type) {
    case Type::String:
        return "string";
    case Type::Integer:
        return "integer";
    case Type::Number:
        return "number";
    case Type::Array:
        return "array";
    }
    return "?";
}

std::string describe(const json& value) {
    if (value.is_number_integer())
        return "integer";
    if (value.is_number_float())
        return "number with a fraction";
    return value.type_name();
}

bool hasType(const json& value, Type type) {
    switch (type) {
    case Type::String:
        return value.is_string();
    case Type::Integer:
        return value.is_number_integer();
    case Type::Number:
        return value.is_number();
    case Type::Array:
        return value.is_array();
    }
    return false;
}

std::string quote(const json& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > 60)
        text = text.substr(0, 57) + "...";
    return text;
}

bool isUpperUuid(const std::string& text) {
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

bool isLowerHex(const std::string& text, size_t maxBytes) {
    if (text.size() % 2 != 0 || text.size() > 2 * maxBytes)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace brelo::sink
