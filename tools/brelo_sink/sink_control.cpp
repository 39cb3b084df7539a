// The sink's control side: /control, the commands typed on its standard input, and the
// lines that announce a change of answer.
#include <optional>
#include <sstream>
#include <string>

#include <httplib.h>

#include "printable.h"
#include "sink_server.h"

namespace brelo::sink {
namespace {

using Clock = AnswerPolicy::Clock;

std::optional<int> parseStatus(const std::string& text) {
    try {
        size_t used = 0;
        int code = std::stoi(text, &used);
        if (used == text.size() && code >= 200 && code <= 599)
            return code;
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace

void SinkServer::control(const httplib::Request& req, httplib::Response& res) {
    std::optional<double> forS = 0;
    std::optional<double> afterS = 0;
    if (req.has_param("for"))
        forS = parseSeconds(req.get_param_value("for"));
    if (req.has_param("after"))
        afterS = parseSeconds(req.get_param_value("after"));
    std::string what;
    std::string value;
    for (const char* key : {"status", "hang", "reset", "table", "stats"})
        if (req.has_param(key)) {
            what = key;
            value = req.get_param_value(key);
            break;
        }
    if (!forS || !afterS || what.empty()) {
        res.status = 400;
        res.set_content("use /control?status=CODE[&for=S][&after=S], ?hang=1[&for=S], ?reset=1, ?table=1, ?stats=1\n",
                        "text/plain");
        return;
    }
    if (what == "hang" && value == "0")
        what = "reset";
    std::string done = applyControl(what, value, *forS, *afterS);
    res.status = done.rfind("bad", 0) == 0 ? 400 : 200;
    res.set_content(done + "\n", "text/plain");
}

std::string SinkServer::command(const std::string& line) {
    std::istringstream words(line);
    std::string what;
    std::string value;
    std::string seconds;
    words >> what;
    if (what == "status")
        words >> value;
    words >> seconds;
    std::optional<double> forS = seconds.empty() ? std::optional<double>(0) : parseSeconds(seconds);
    if (!forS)
        return "bad seconds \"" + printable(seconds) + "\"";
    if (what.empty() || what == "help")
        return "commands: status CODE [SECONDS] | hang [SECONDS] | reset | table | stats";
    return applyControl(what, value, *forS, 0);
}

std::string SinkServer::applyControl(const std::string& what, const std::string& value, double forS, double afterS) {
    if (what == "table") {
        printTable();
        return "table printed";
    }
    if (what == "stats")
        return statsJson();
    auto now = Clock::now();
    auto seconds = [](double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); };
    std::string done;
    {
        std::lock_guard lock(mutex_);
        if (what == "reset") {
            policy_.clearWindow();
            policy_.setStanding(options_.standing);
            done = options_.standing.behaviour();
        } else if (what == "status" || what == "hang") {
            Answer answer;
            if (what == "hang") {
                answer.hang = true;
            } else if (auto code = parseStatus(value)) {
                answer.status = *code;
            } else {
                return "bad status \"" + printable(value) + "\" (200 to 599)";
            }
            if (forS > 0) {
                policy_.setWindow(answer, now + seconds(afterS), now + seconds(afterS + forS));
                done = answer.behaviour() + " for " + std::to_string(static_cast<long>(forS)) + " s";
                if (afterS > 0)
                    done += " from " + std::to_string(static_cast<long>(afterS)) + " s on";
            } else {
                policy_.clearWindow();
                policy_.setStanding(answer);
                done = answer.behaviour();
            }
        } else {
            return "bad command \"" + printable(what) + "\"";
        }
        announced_ = policy_.current(now);
    }
    changed_.notify_all();
    say(done);
    return done;
}

void SinkServer::tick() {
    {
        std::lock_guard lock(mutex_);
        announceLocked(Clock::now());
    }
    changed_.notify_all();
}

void SinkServer::announceLocked(Clock::time_point now) {
    Answer current = policy_.current(now);
    if (current == announced_)
        return;
    announced_ = current;
    if (auto left = policy_.windowLeft(now))
        say(current.behaviour() + " for " + std::to_string(static_cast<long>(*left + 0.5)) + " s");
    else
        say(current.behaviour() + " again");
}

}  // namespace brelo::sink
