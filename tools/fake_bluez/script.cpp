#include "script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "bluetooth/uuid.h"

namespace brelo::fakebluez {
namespace {

int hexDigit(char c) {
    const char* digits = "0123456789abcdef";
    const char* at = std::strchr(digits, std::tolower(static_cast<unsigned char>(c)));
    return c && at ? static_cast<int>(at - digits) : -1;
}

Strings splitComma(const std::string& text) {
    Strings parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        parts.push_back(part);
    return parts;
}

}  // namespace

const std::string& ScriptLine::word(size_t i) const {
    if (i >= words.size())
        throw ScriptError("missing argument " + std::to_string(i));
    return words[i];
}

std::optional<std::string> ScriptLine::option(const std::string& key) const {
    std::optional<std::string> found;
    for (auto& [k, v] : options)
        if (k == key)
            found = v;  // the last one wins
    return found;
}

void ScriptLine::expect(const char* usage, size_t min, size_t max, std::initializer_list<const char*> allowed) const {
    for (auto& [k, v] : options)
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; }))
            throw ScriptError("unknown option '" + k + "' (usage: " + usage + ")");
    if (words.size() < min || words.size() > max)
        throw ScriptError(std::string("usage: ") + usage);
}

std::string ScriptLine::rest(size_t from) const {
    std::string out;
    for (size_t i = from; i < words.size(); ++i)
        out += (out.empty() ? "" : " ") + words[i];
    for (auto& [k, v] : options)
        out += (out.empty() ? "" : " ") + k + "=" + shown(v);
    return out;
}

ScriptLine parseLine(const std::string& text) {
    ScriptLine line;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i >= n || text[i] == '#')
            return line;
        std::string word;
        bool quoted = false;
        size_t equals = std::string::npos;  // the first '=' outside quotes
        while (i < n && !std::isspace(static_cast<unsigned char>(text[i]))) {
            if (text[i] != '"') {
                if (text[i] == '=' && equals == std::string::npos)
                    equals = word.size();
                word += text[i++];
                continue;
            }
            quoted = true;
            for (++i; i < n && text[i] != '"'; ++i)
                word +=
                    text[i] == '\\' && i + 1 < n && (text[i + 1] == '"' || text[i + 1] == '\\') ? text[++i] : text[i];
            if (i++ >= n)
                throw ScriptError("unterminated quote");
        }
        const std::string key = word.substr(0, std::min(equals, word.size()));
        const bool isKey = !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '_';
        });
        if (equals != std::string::npos && isKey)
            line.options.emplace_back(key, word.substr(equals + 1));
        else if (!word.empty() || quoted)
            line.words.push_back(word);
    }
}

std::string parseAddress(const std::string& text) {
    bool ok = text.size() == 17;
    for (size_t i = 0; ok && i < text.size(); ++i)
        ok = (i % 3 == 2) ? text[i] == ':' : hexDigit(text[i]) >= 0;
    if (!ok)
        throw ScriptError("'" + text + "' is not a Bluetooth address (AA:BB:CC:DD:EE:FF)");
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

int64_t parseNumber(const std::string& what, const std::string& text, int64_t min, int64_t max) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw ScriptError(what + " must be a whole number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not '" + text + "'");
    return value;
}

double parseSeconds(const std::string& what, const std::string& text) {
    std::string body = text;
    if (!body.empty() && body.back() == 's')
        body.pop_back();
    char* end = nullptr;
    double value = body.empty() ? NAN : std::strtod(body.c_str(), &end);
    if (body.empty() || end != body.c_str() + body.size() || !std::isfinite(value) || value < 0 || value > 86400)
        throw ScriptError(what + " must be a number of seconds, not '" + text + "'");
    return value;
}

bool parseOnOff(const std::string& what, const std::string& text) {
    if (text == "on" || text == "off")
        return text == "on";
    throw ScriptError(what + " must be on or off, not '" + text + "'");
}

CompanyData parseManufacturerData(const std::string& text) {
    CompanyData out;
    for (const auto& entry : splitComma(text)) {
        const size_t colon = entry.find(':');
        std::string company = entry.substr(0, colon);
        const std::string hex = colon == std::string::npos ? "" : entry.substr(colon + 1);
        if (company.size() > 2 && company[0] == '0' && std::tolower(company[1]) == 'x')
            company = company.substr(2);
        bool ok = colon != std::string::npos && !company.empty() && company.size() <= 4 && hex.size() % 2 == 0;
        unsigned value = 0;
        for (char c : company)
            ok = ok && hexDigit(c) >= 0, value = value * 16 + static_cast<unsigned>(std::max(hexDigit(c), 0));
        Bytes bytes;
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
            ok = hexDigit(hex[i]) >= 0 && hexDigit(hex[i + 1]) >= 0;
            bytes.push_back(static_cast<uint8_t>(hexDigit(hex[i]) * 16 + hexDigit(hex[i + 1])));
        }
        if (!ok)
            throw ScriptError("manufacturer data must be COMPANY:HEX with a hex company identifier and an even "
                              "number of hex digits, not '" + entry + "'");
        put(out, static_cast<uint16_t>(value), std::move(bytes));
    }
    return out;
}

std::optional<std::string> fullUuid(const std::string& text) {
    auto uuid = bluetooth::Uuid::parse(text);
    if (!uuid)
        return std::nullopt;
    std::string full = uuid->canonical();
    std::transform(full.begin(), full.end(), full.begin(), [](unsigned char c) { return std::tolower(c); });
    return full;
}

Strings parseUuids(const std::string& text) {
    Strings out;
    for (const auto& part : splitComma(text)) {
        auto full = fullUuid(part);
        if (!full)
            throw ScriptError("'" + part + "' is not a UUID (16-, 32- or 128-bit)");
        out.push_back(*full);
    }
    return out;
}

}  // namespace brelo::fakebluez
