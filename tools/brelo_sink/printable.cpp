#include "printable.h"

namespace brelo::sink {

std::string printable(std::string_view text, size_t maxBytes) {
    bool cut = false;
    if (text.size() > maxBytes) {
        size_t end = maxBytes;
        // Never split a UTF-8 sequence: step back over continuation bytes.
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text = text.substr(0, end);
        cut = true;
    }
    std::string out;
    out.reserve(text.size() + 1);
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
    }
    if (cut)
        out.push_back('~');
    return out;
}

}  // namespace brelo::sink
