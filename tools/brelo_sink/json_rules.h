#pragma once

// Types and shapes of JSON values, as the body checker judges them.

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brelo::sink {

enum class Type { String, Integer, Number, Array };

struct KeyRule {
    std::string_view key;
    Type type;
    bool always;
};

const char* typeName(Type type);
// The value's type as a fault message names it.
std::string describe(const nlohmann::json& value);
bool hasType(const nlohmann::json& value, Type type);
// A short, safe rendering of a value for a fault message.
std::string quote(const nlohmann::json& value);
// 36 characters, upper-case hex digits in groups of 8-4-4-4-12.
bool isUpperUuid(const std::string& text);
// Lower-case hex of whole bytes, at most maxBytes of them.
bool isLowerHex(const std::string& text, size_t maxBytes);

}  // namespace brelo::sink
