#include "body_validator.h"
#include "json_rules.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace brelo::sink {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 6> kStatusWords = {
    "starting", "resetting", "unsupported", "needs-permission", "bluetooth-off", "listening"};

// A record is replayed only while it is at most this old when an upload starts.
constexpr double kReplayMaxS = 120.0;
// How long after its flush a record still counts as fresh rather than replayed.
constexpr double kFreshWithinS = 1.0;

constexpr std::array<KeyRule, 6> kBodyKeys = {{
    {"node", Type::String, true},
    {"devices", Type::Array, true},
    {"status", Type::String, true},
    {"sent_at", Type::Number, true},
    {"version", Type::String, true},
    {"room", Type::String, false},
}};

constexpr std::array<KeyRule, 14> kRecordKeys = {{
    {"id", Type::String, true},
    {"rssi", Type::Integer, true},
    {"p75", Type::Integer, true},
    {"max", Type::Integer, true},
    {"min", Type::Integer, true},
    {"name", Type::String, true},
    {"services", Type::Array, true},
    {"prefix", Type::String, true},
    {"packets", Type::Integer, true},
    {"ts", Type::Number, true},
    {"company", Type::Integer, false},
    {"mfg", Type::String, false},
    {"tx", Type::Integer, false},
    {"listener", Type::String, false},
}};

class Checker {
public:
    explicit Checker(size_t maxFaults) : maxFaults_(maxFaults) {}

    std::vector<Fault> take() { return std::move(faults_); }

    void body(const json& body) {
        if (!body.is_object()) {
            add(Fault::Kind::NotObject, "body", "is " + describe(body) + ", expected a JSON object");
            return;
        }
        keys(body, kBodyKeys, "");
        if (auto it = body.find("status"); it != body.end() && it->is_string() && !isStatusWord(it->get<std::string>()))
            add(Fault::Kind::BadValue, "status",
                "is " + quote(*it) +
                    ", not a status word (starting, resetting, unsupported, needs-permission, bluetooth-off, "
                    "listening)");
        if (auto it = body.find("version"); it != body.end() && it->is_string() && *it != "2.0")
            add(Fault::Kind::BadValue, "version", "is " + quote(*it) + ", expected \"2.0\"");
        if (auto it = body.find("room"); it != body.end() && it->is_string() && it->get_ref<const std::string&>().empty())
            add(Fault::Kind::BadValue, "room", "is the empty text; the key is left out when there is no room");
        if (auto it = body.find("sent_at"); it != body.end() && it->is_number())
            finiteTime(*it, "sent_at");

        auto devices = body.find("devices");
        if (devices == body.end() || !devices->is_array())
            return;
        std::optional<double> sentAt;
        if (auto it = body.find("sent_at"); it != body.end() && it->is_number())
            sentAt = it->get<double>();
        for (size_t i = 0; i < devices->size() && !full(); ++i)
            record((*devices)[i], "devices[" + std::to_string(i) + "]", sentAt);
    }

private:
    bool full() const { return faults_.size() >= maxFaults_; }

    void add(Fault::Kind kind, std::string where, std::string problem) {
        if (!full())
            faults_.push_back({kind, std::move(where), std::move(problem)});
    }

    static std::string at(const std::string& prefix, std::string_view key) {
        return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
    }

    // Presence, nulls, types and unknown keys of one object. True when every key it has
    // carries the right type.
    template <size_t N>
    bool keys(const json& object, const std::array<KeyRule, N>& rules, const std::string& prefix) {
        bool typesSound = true;
        for (const auto& rule : rules) {
            auto it = object.find(std::string(rule.key));
            if (it == object.end()) {
                if (rule.always)
                    add(Fault::Kind::MissingKey, at(prefix, rule.key), "is missing");
                continue;
            }
            if (it->is_null()) {
                add(Fault::Kind::Null, at(prefix, rule.key),
                    rule.always ? "is null" : "is null; an absent value is left out, never written as null");
                typesSound = false;
            } else if (!hasType(*it, rule.type)) {
                add(Fault::Kind::WrongType, at(prefix, rule.key),
                    "has the wrong type: " + describe(*it) + " " + quote(*it) + ", expected " + typeName(rule.type));
                typesSound = false;
            }
        }
        for (const auto& item : object.items()) {
            // Not a structured binding: clang 14 cannot capture one in the lambda below.
            const std::string& key = item.key();
            bool known = std::any_of(rules.begin(), rules.end(), [&](const KeyRule& r) { return r.key == key; });
            if (!known)
                add(Fault::Kind::UnknownKey, at(prefix, key), "is not a key of " + std::string(prefix.empty() ? "an upload body" : "a device record"));
        }
        return typesSound;
    }

    void finiteTime(const json& value, const std::string& where) {
        double t = value.get<double>();
        if (!std::isfinite(t) || t <= 0)
            add(Fault::Kind::BadValue, where, "is " + quote(value) + ", not seconds since 1970");
    }

    void record(const json& rec, const std::string& where, std::optional<double> sentAt) {
        if (!rec.is_object()) {
            add(Fault::Kind::NotObject, where, "is " + describe(rec) + ", expected a device record (JSON object)");
            return;
        }
        keys(rec, kRecordKeys, where);
        auto get = [&](std::string_view key, Type type) -> const json* {
            auto it = rec.find(std::string(key));
            return it != rec.end() && hasType(*it, type) ? &*it : nullptr;
        };

        if (const json* id = get("id", Type::String); id && !isUpperUuid(id->get_ref<const std::string&>()))
            add(Fault::Kind::BadValue, at(where, "id"),
                "is " + quote(*id) + ", expected a 36-character upper-case UUID (8-4-4-4-12 hex digits)");

        if (const json* services = get("services", Type::Array))
            for (size_t i = 0; i < services->size(); ++i)
                if (!(*services)[i].is_string())
                    add((*services)[i].is_null() ? Fault::Kind::Null : Fault::Kind::WrongType,
                        at(where, "services") + "[" + std::to_string(i) + "]",
                        "is " + describe((*services)[i]) + ", expected string");

        // The signal figures: readings lie from -109 to -1 dBm and the figures are taken from
        // the sorted readings, so they can only stand in one order.
        const json* min = get("min", Type::Integer);
        const json* rssi = get("rssi", Type::Integer);
        const json* p75 = get("p75", Type::Integer);
        const json* max = get("max", Type::Integer);
        for (auto [key, value] : {std::pair{"min", min}, {"rssi", rssi}, {"p75", p75}, {"max", max}})
            if (value && (value->get<double>() < -109 || value->get<double>() > -1))
                add(Fault::Kind::BadValue, at(where, key), "is " + quote(*value) + ", outside the readings' range -109 to -1");
        if (min && rssi && p75 && max &&
            !(min->get<double>() <= rssi->get<double>() && rssi->get<double>() <= p75->get<double>() &&
              p75->get<double>() <= max->get<double>()))
            add(Fault::Kind::BadValue, where,
                "figures out of order: min " + quote(*min) + ", rssi " + quote(*rssi) + ", p75 " + quote(*p75) +
                    ", max " + quote(*max) + " (expected min <= rssi <= p75 <= max)");
        if (const json* packets = get("packets", Type::Integer); packets && packets->get<double>() < 1)
            add(Fault::Kind::BadValue, at(where, "packets"), "is " + quote(*packets) + ", expected at least 1");

        const json* company = get("company", Type::Integer);
        if (company && (company->get<double>() < 0 || company->get<double>() > 65535))
            add(Fault::Kind::BadValue, at(where, "company"), "is " + quote(*company) + ", outside 0 to 65535");
        if (const json* prefix = get("prefix", Type::String)) {
            const auto& text = prefix->get_ref<const std::string&>();
            if (!isLowerHex(text, 2))
                add(Fault::Kind::BadValue, at(where, "prefix"),
                    "is " + quote(*prefix) + ", expected lower-case hex of at most 2 bytes");
            else if (!text.empty() && rec.find("company") == rec.end())
                add(Fault::Kind::BadValue, at(where, "prefix"), "is set while \"company\" is absent");
        }
        if (const json* mfg = get("mfg", Type::String)) {
            const auto& text = mfg->get_ref<const std::string&>();
            if (text.empty())
                add(Fault::Kind::BadValue, at(where, "mfg"), "is the empty text; the key is left out when there is no manufacturer data");
            else if (!isLowerHex(text, 32))
                add(Fault::Kind::BadValue, at(where, "mfg"),
                    "is " + quote(*mfg) + ", expected lower-case hex of at most 32 bytes");
        }
        if (const json* listener = get("listener", Type::String)) {
            const json* name = get("name", Type::String);
            std::string expected = "KVQ-" + listener->get<std::string>();
            if (name && name->get_ref<const std::string&>() != expected)
                add(Fault::Kind::BadValue, at(where, "listener"),
                    "is " + quote(*listener) + " but \"name\" is " + quote(*name) +
                        "; a listener's name is \"KVQ-\" followed by it");
        }

        if (const json* ts = get("ts", Type::Number)) {
            finiteTime(*ts, at(where, "ts"));
            if (sentAt && *sentAt - ts->get<double>() > kReplayMaxS)
                add(Fault::Kind::BadValue, at(where, "ts"),
                    "is " + std::to_string(*sentAt - ts->get<double>()) +
                        " s before \"sent_at\"; a record older than 120 s is dropped, not sent again");
        }
    }

    size_t maxFaults_;
    std::vector<Fault> faults_;
};

}  // namespace

const char* kindName(Fault::Kind kind) {
    switch (kind) {
    case Fault::Kind::NotJson:
        return "not JSON";
    case Fault::Kind::NotObject:
        return "not an object";
    case Fault::Kind::MissingKey:
        return "missing key";
    case Fault::Kind::UnknownKey:
        return "unknown key";
    case Fault::Kind::Null:
        return "null";
    case Fault::Kind::WrongType:
        return "wrong type";
    case Fault::Kind::BadValue:
        return "bad value";
    }
    return "?";
}

bool isStatusWord(std::string_view word) {
    return std::find(kStatusWords.begin(), kStatusWords.end(), word) != kStatusWords.end();
}

std::vector<Fault> checkUploadBody(const nlohmann::json& body, size_t maxFaults) {
    Checker checker(std::max<size_t>(maxFaults, 1));
    checker.body(body);
    return checker.take();
}

CheckedBody checkUploadText(std::string_view text, size_t maxFaults) {
    CheckedBody checked;
    if (text.empty()) {
        checked.faults.push_back({Fault::Kind::NotJson, "body", "is empty"});
        return checked;
    }
    try {
        checked.body = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        // The parser's message gives the byte offset and what it expected there.
        checked.faults.push_back({Fault::Kind::NotJson, "body", std::string("is not JSON: ") + e.what()});
        return checked;
    }
    checked.faults = checkUploadBody(*checked.body, maxFaults);
    return checked;
}

size_t replayedCount(const nlohmann::json& body) {
    auto devices = body.find("devices");
    if (!body.is_object() || devices == body.end() || !devices->is_array())
        return 0;
    auto tsOf = [](const nlohmann::json& rec) -> std::optional<double> {
        if (!rec.is_object())
            return std::nullopt;
        auto ts = rec.find("ts");
        if (ts == rec.end() || !ts->is_number())
            return std::nullopt;
        return ts->get<double>();
    };
    // A flush hands its records to the upload in the same turn of the ear's loop, so fresh
    // records carry a "ts" within moments of "sent_at"; anything older came from an earlier
    // flush. An upload made by a check-in or a state change carries no fresh records at all.
    bool any = false;
    double newest = 0;
    for (const auto& rec : *devices)
        if (auto ts = tsOf(rec); ts && (!any || *ts > newest)) {
            newest = *ts;
            any = true;
        }
    if (!any)
        return 0;
    // Only a flush sends fresh records, and a flush always reports "listening".
    bool noneFresh = false;
    if (auto status = body.find("status"); status != body.end() && *status != "listening")
        noneFresh = true;
    if (auto sentAt = body.find("sent_at"); sentAt != body.end() && sentAt->is_number())
        noneFresh = noneFresh || sentAt->get<double>() - newest > kFreshWithinS;
    size_t count = 0;
    for (const auto& rec : *devices)
        if (auto ts = tsOf(rec); ts && (noneFresh || *ts < newest))
            ++count;
    return count;
}

}  // namespace brelo::sink
