#include "answer_policy.h"

namespace brelo::sink {

std::string Answer::describe() const { return hang ? std::string("hang") : std::to_string(status); }

std::string Answer::behaviour() const {
    return hang ? std::string("holding uploads unanswered") : "answering " + std::to_string(status);
}

void AnswerPolicy::setStanding(Answer answer) { standing_ = answer; }

void AnswerPolicy::setWindow(Answer answer, Clock::time_point from, Clock::time_point until) {
    window_ = Window{answer, from, until};
}

Answer AnswerPolicy::current(Clock::time_point now) const {
    if (window_ && now >= window_->from && now < window_->until)
        return window_->answer;
    return standing_;
}

std::optional<double> AnswerPolicy::windowLeft(Clock::time_point now) const {
    if (!window_ || now < window_->from || now >= window_->until)
        return std::nullopt;
    return std::chrono::duration<double>(window_->until - now).count();
}

std::optional<double> parseSeconds(const std::string& text) {
    try {
        size_t used = 0;
        double s = std::stod(text, &used);
        if (used == text.size() && s >= 0 && s < 1e7)
            return s;
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace brelo::sink
