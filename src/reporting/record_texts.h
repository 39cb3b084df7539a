#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brelo::reporting {

// Device records already written as compact JSON text, joined by commas as they go into
// an upload body, with the end of each. A flush writes its records this way: an upload
// that succeeds (the usual case) never needs them as JSON objects, and one that fails
// reads them back for the replay queue.
struct RecordTexts {
    std::string text;
    std::vector<size_t> ends;

    size_t size() const { return ends.size(); }
    bool empty() const { return ends.empty(); }
    std::string_view at(size_t i) const {
        const size_t begin = i == 0 ? 0 : ends[i - 1] + 1;  // skip the comma
        return std::string_view(text).substr(begin, ends[i] - begin);
    }
};

}  // namespace brelo::reporting
