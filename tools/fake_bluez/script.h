#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace brelo::fakebluez {

// A script line that cannot be carried out; the message says why, for the script's author.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One line of the driving script, split into words. A word of the form key=value is an
// option; everything else is positional, the command first. Double quotes keep spaces
// inside a word (name="Living room"); \" and \\ escape inside quotes. A word starting with
// # begins a comment.
struct ScriptLine {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;

    bool empty() const { return words.empty() && options.empty(); }
    const std::string& word(size_t i) const;  // throws ScriptError when missing
    std::optional<std::string> option(const std::string& key) const;
    // Throws when an option other than these was given (catches typos such as rsi=-60).
    void allowOptions(std::initializer_list<const char*> keys) const;
    // Throws unless there are between min and max positional words (the command included).
    void expectWords(size_t min, size_t max, const char* usage) const;
    // The words from index `from` on, joined by single spaces, options after them.
    std::string rest(size_t from) const;
};

// Throws ScriptError for an unterminated quote.
ScriptLine parseLine(const std::string& text);

// Value readers: each throws ScriptError naming what was wrong.
std::string parseAddress(const std::string& text);           // -> AA:BB:CC:DD:EE:FF
int16_t parseInt16(const std::string& what, const std::string& text, int min = -32768, int max = 32767);
int64_t parseCount(const std::string& what, const std::string& text);  // > 0
double parseSeconds(const std::string& what, const std::string& text);  // >= 0
bool parseOnOff(const std::string& what, const std::string& text);
// COMPANY:HEX[,COMPANY:HEX...], COMPANY in hex (0x optional), HEX an even number of digits.
std::map<uint16_t, std::vector<uint8_t>> parseManufacturerData(const std::string& text);
// UUID[,UUID...] in 16-, 32- or 128-bit form -> 128-bit lower case, as BlueZ shows them.
std::vector<std::string> parseUuids(const std::string& text);
// The 128-bit lower-case form of one UUID text, or nothing when it is not a UUID.
std::optional<std::string> fullUuid(const std::string& text);

}  // namespace brelo::fakebluez
