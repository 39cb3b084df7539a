#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brelo::reporting {

// The device records of one flush window, in the one form they ever take: compact JSON
// text as it goes into an upload body, joined by commas, with the end of each. All of them
// carry the window's flush time `ts`, by which the replay queue ages them.
struct RecordTexts {
    double ts = 0;
    std::string text;
    std::vector<size_t> ends;

    size_t size() const { return ends.size(); }
    bool empty() const { return ends.empty(); }
    // Drops the first n records (all of them when n is size() or more).
    void dropFront(size_t n);
};

}  // namespace brelo::reporting
