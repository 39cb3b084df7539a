#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "reporting/record_texts.h"

namespace brelo::reporting {

// The records of failed uploads, waiting to go out with the next upload: oldest first,
// kept as they were sent, at most pendingMax of them.
class ReplayQueue {
public:
    static constexpr size_t pendingMax = 600;
    // Older records (by their "ts") describe a past the server no longer wants.
    static constexpr double replayMaxS = 120.0;

    // Everything still young enough to send at `now`, oldest first; the queue is left empty.
    std::vector<RecordTexts> take(double now);
    // The records of a failed upload go in front of those waiting (that upload started
    // before any of them was put back); the queue then keeps its newest pendingMax.
    void putBack(std::vector<RecordTexts> failed);

    size_t size() const { return records_; }

private:
    std::deque<RecordTexts> windows_;
    size_t records_ = 0;
};

}  // namespace brelo::reporting
