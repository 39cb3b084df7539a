#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace brelo::sink {

// One thing wrong with an upload body, named precisely enough that whoever wrote the sender
// can find the line at fault: where ("devices[3].rssi", "status", "body") and what.
struct Fault {
    enum class Kind {
        NotJson,       // the text does not parse as JSON
        NotObject,     // the body or a device record is not a JSON object
        MissingKey,    // a key that must always be there is absent
        UnknownKey,    // a key that no sender writes
        Null,          // a key holds null: optional values are left out instead
        WrongType,     // e.g. a float where an integer belongs
        BadValue,      // right type, impossible value (bad UUID, unknown status word, ...)
    };
    Kind kind;
    std::string where;
    std::string problem;

    std::string text() const { return where + ": " + problem; }
};

const char* kindName(Fault::Kind kind);

// The words an ear may report as its state.
bool isStatusWord(std::string_view word);

// Checks a parsed upload body against the layout an ear sends: the body's keys, the device
// records in "devices", their JSON types and presence rules, and the relations every sound
// record keeps (min <= rssi <= p75 <= max, "listener" taken from a "KVQ-" name, no record
// replayed more than 120 s after its flush, ...). Returns every fault found, at most
// maxFaults of them; an empty list means the body is sound.
std::vector<Fault> checkUploadBody(const nlohmann::json& body, size_t maxFaults = 20);

// Parses and checks the text of a request body.
struct CheckedBody {
    std::optional<nlohmann::json> body;  // absent when the text is not JSON
    std::vector<Fault> faults;
};
CheckedBody checkUploadText(std::string_view text, size_t maxFaults = 20);

// Number of records in "devices" that come from earlier flushes, sent again after an upload
// failed: those whose "ts" is older than the newest "ts" of the upload, or all of them when
// the upload cannot hold fresh ones: its status is not "listening" (a state change or a
// check-in) or even its newest record is more than a second older than "sent_at".
size_t replayedCount(const nlohmann::json& body);

}  // namespace brelo::sink
