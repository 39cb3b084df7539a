#include "script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "bluetooth/uuid.h"

namespace brelo::fakebluez {
namespace {

bool isOptionKey(const std::string& key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<std::string> splitComma(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
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

void ScriptLine::allowOptions(std::initializer_list<const char*> keys) const {
    for (auto& [k, v] : options)
        if (std::none_of(keys.begin(), keys.end(), [&](const char* allowed) { return k == allowed; }))
            throw ScriptError("unknown option '" + k + "'");
}

void ScriptLine::expectWords(size_t min, size_t max, const char* usage) const {
    if (words.size() < min || words.size() > max)
        throw ScriptError(std::string("usage: ") + usage);
}

std::string ScriptLine::rest(size_t from) const {
    std::string out;
    for (size_t i = from; i < words.size(); ++i)
        out += (out.empty() ? "" : " ") + words[i];
    for (auto& [k, v] : options) {
        bool plain = !v.empty() && v.find_first_of(" \t\"#") == std::string::npos;
        out += (out.empty() ? "" : " ") + k + "=" + (plain ? v : "\"" + v + "\"");
    }
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
            break;
        std::string word;
        bool quotedAny = false;
        size_t equals = std::string::npos;  // position of the first unquoted '=' in word
        while (i < n && !std::isspace(static_cast<unsigned char>(text[i]))) {
            char c = text[i];
            if (c == '"') {
                quotedAny = true;
                ++i;
                bool closed = false;
                while (i < n) {
                    if (text[i] == '\\' && i + 1 < n && (text[i + 1] == '"' || text[i + 1] == '\\')) {
                        word += text[i + 1];
                        i += 2;
                    } else if (text[i] == '"') {
                        closed = true;
                        ++i;
                        break;
                    } else {
                        word += text[i++];
                    }
                }
                if (!closed)
                    throw ScriptError("unterminated quote");
                continue;
            }
            if (c == '=' && equals == std::string::npos)
                equals = word.size();
            word += c;
            ++i;
        }
        if (equals != std::string::npos && isOptionKey(word.substr(0, equals)))
            line.options.emplace_back(word.substr(0, equals), word.substr(equals + 1));
        else if (!word.empty() || quotedAny)
            line.words.push_back(word);
    }
    return line;
}

std::string parseAddress(const std::string& text) {
    // Six pairs of hex digits separated by colons.
    bool ok = text.size() == 17;
    for (size_t i = 0; ok && i < text.size(); ++i)
        ok = (i % 3 == 2) ? text[i] == ':' : hexDigit(text[i]) >= 0;
    if (!ok)
        throw ScriptError("'" + text + "' is not a Bluetooth address (AA:BB:CC:DD:EE:FF)");
    std::string upper = text;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

int16_t parseInt16(const std::string& what, const std::string& text, int min, int max) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw ScriptError(what + " must be a whole number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not '" + text + "'");
    return static_cast<int16_t>(value);
}

int64_t parseCount(const std::string& what, const std::string& text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0)
        throw ScriptError(what + " must be a positive whole number, not '" + text + "'");
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
    if (text == "on" || text == "true" || text == "yes")
        return true;
    if (text == "off" || text == "false" || text == "no")
        return false;
    throw ScriptError(what + " must be on or off, not '" + text + "'");
}

std::map<uint16_t, std::vector<uint8_t>> parseManufacturerData(const std::string& text) {
    std::map<uint16_t, std::vector<uint8_t>> out;
    for (const auto& entry : splitComma(text)) {
        size_t colon = entry.find(':');
        std::string company = entry.substr(0, colon);
        std::string hex = colon == std::string::npos ? "" : entry.substr(colon + 1);
        if (company.size() > 2 && (company.compare(0, 2, "0x") == 0 || company.compare(0, 2, "0X") == 0))
            company = company.substr(2);
        unsigned value = 0;
        bool ok = colon != std::string::npos && !company.empty() && company.size() <= 4 && hex.size() % 2 == 0;
        for (char c : company) {
            ok = ok && hexDigit(c) >= 0;
            value = value * 16 + static_cast<unsigned>(std::max(hexDigit(c), 0));
        }
        std::vector<uint8_t> bytes;
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
            int hi = hexDigit(hex[i]);
            int lo = hexDigit(hex[i + 1]);
            ok = hi >= 0 && lo >= 0;
            bytes.push_back(static_cast<uint8_t>(std::max(hi, 0) * 16 + std::max(lo, 0)));
        }
        if (!ok)
            throw ScriptError("manufacturer data must be COMPANY:HEX with a hex company identifier and an even "
                              "number of hex digits, not '" + entry + "'");
        out[static_cast<uint16_t>(value)] = std::move(bytes);
    }
    return out;
}

std::optional<std::string> fullUuid(const std::string& text) {
    auto uuid = bluetooth::Uuid::parse(text);
    if (!uuid)
        return std::nullopt;
    return lower(uuid->canonical());
}

std::vector<std::string> parseUuids(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty())
        return out;
    for (const auto& part : splitComma(text)) {
        auto full = fullUuid(part);
        if (!full)
            throw ScriptError("'" + part + "' is not a UUID (16-, 32- or 128-bit)");
        out.push_back(*full);
    }
    return out;
}

}  // namespace brelo::fakebluez
