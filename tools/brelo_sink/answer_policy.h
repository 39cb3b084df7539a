#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace brelo::sink {

// How the sink answers an upload: with an HTTP status, or not at all (it holds the request
// open until the sender gives up).
struct Answer {
    int status = 204;
    bool hang = false;

    bool operator==(const Answer&) const = default;
    // "204", "503" or "hang".
    std::string describe() const;
    // "answering 503", "holding uploads unanswered".
    std::string behaviour() const;
};

// The standing answer, and a temporary one for a window of time (e.g. 503 for 30 s) after
// which the standing answer returns by itself.
class AnswerPolicy {
public:
    using Clock = std::chrono::steady_clock;

    explicit AnswerPolicy(Answer standing = {}) : standing_(standing) {}

    void setStanding(Answer answer);
    // Answers `answer` from `from` until `until`; replaces any earlier window.
    void setWindow(Answer answer, Clock::time_point from, Clock::time_point until);
    void clearWindow() { window_.reset(); }

    Answer current(Clock::time_point now) const;
    // Seconds left in the window when it is in force now.
    std::optional<double> windowLeft(Clock::time_point now) const;

private:
    struct Window {
        Answer answer;
        Clock::time_point from;
        Clock::time_point until;
    };
    Answer standing_;
    std::optional<Window> window_;
};

// A length of time as the sink's options and control requests give it: plain decimal
// seconds, from 0 up to (not including) 10 million; nothing for any other text.
std::optional<double> parseSeconds(const std::string& text);

}  // namespace brelo::sink
