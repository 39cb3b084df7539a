#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bus_values.h"

namespace brelo::fakebluez {

// A script line that cannot be carried out; the message says why, for the script's author.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One line of the driving script, split into words. A word of the form key=value is an
// option; everything else is positional, the command first. Double quotes keep blanks
// inside a word (name="Living room"); \" and \\ escape inside quotes. A word starting with
// # begins a comment.
struct ScriptLine {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;

    const std::string& word(size_t i) const;  // throws ScriptError when missing
    std::optional<std::string> option(const std::string& key) const;
    // Throws "usage: ..." unless there are min to max words (the command included) and no
    // option but these (which catches typos such as rsi=-60).
    void expect(const char* usage, size_t min, size_t max, std::initializer_list<const char*> options = {}) const;
    // The words from index `from` on, joined by blanks, the options after them.
    std::string rest(size_t from) const;
};

ScriptLine parseLine(const std::string& text);  // throws ScriptError for an unterminated quote

// Value readers: each throws ScriptError naming what was wrong.
std::string parseAddress(const std::string& text);  // -> AA:BB:CC:DD:EE:FF
int64_t parseNumber(const std::string& what, const std::string& text, int64_t min, int64_t max);
double parseSeconds(const std::string& what, const std::string& text);  // >= 0, "s" allowed
bool parseOnOff(const std::string& what, const std::string& text);
// COMPANY:HEX[,COMPANY:HEX...], COMPANY in hex (0x optional), HEX an even number of digits.
CompanyData parseManufacturerData(const std::string& text);
// UUID[,UUID...] in 16-, 32- or 128-bit form -> 128-bit lower case, as BlueZ shows them.
Strings parseUuids(const std::string& text);
std::optional<std::string> fullUuid(const std::string& text);

}  // namespace brelo::fakebluez
