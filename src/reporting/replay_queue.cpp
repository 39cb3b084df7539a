#include "reporting/replay_queue.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace brelo::reporting {

std::vector<RecordTexts> ReplayQueue::take(double now) {
    std::vector<RecordTexts> young;
    young.reserve(windows_.size());
    for (auto& window : windows_)
        if (now - window.ts <= replayMaxS)
            young.push_back(std::move(window));
    windows_.clear();
    records_ = 0;
    return young;
}

void ReplayQueue::putBack(std::vector<RecordTexts> failed) {
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        records_ += it->size();
        windows_.push_front(std::move(*it));
    }
    while (records_ > pendingMax) {
        RecordTexts& oldest = windows_.front();
        const size_t drop = std::min(oldest.size(), records_ - pendingMax);
        records_ -= drop;
        oldest.dropFront(drop);
        if (oldest.empty())
            windows_.pop_front();
    }
}

}  // namespace brelo::reporting
