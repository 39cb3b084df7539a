#pragma once

// Reads a child process's output as it comes and notes when each line arrived, so a test
// can tell how long after one event another followed. Searching starts where the caller
// says, so long runs (thousands of lines) never rescan what they have already passed.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "reliability_support.h"
#include "support/child_process.h"

namespace brelo::test {

class LineWatch {
public:
    explicit LineWatch(ChildProcess& process) : process_(process) {}

    // The first line at or after `from` that contains text, waiting for it; nothing on time-out.
    std::optional<size_t> find(const std::string& text, size_t from, std::chrono::milliseconds timeout) {
        std::optional<size_t> found;
        size_t next = from;
        process_.waitFor(
            [&](const std::vector<std::string>& lines) {
                stamp(lines);
                for (; next < lines.size(); ++next)
                    if (lines[next].find(text) != std::string::npos) {
                        found = next;
                        return true;
                    }
                return false;
            },
            timeout);
        return found;
    }

    // When line i arrived (monotonic seconds).
    double at(size_t i) const { return stamps_.at(i); }
    size_t size() {
        process_.poll();
        stamp(process_.lines());
        return stamps_.size();
    }
    const std::string& line(size_t i) const { return process_.lines().at(i); }

private:
    void stamp(const std::vector<std::string>& lines) {
        const double now = monotonicS();
        while (stamps_.size() < lines.size())
            stamps_.push_back(now);
    }

    ChildProcess& process_;
    std::vector<double> stamps_;
};

}  // namespace brelo::test
