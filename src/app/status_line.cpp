#include "app/status_line.h"

#include <algorithm>
#include <cmath>

namespace brelo {
namespace {

std::string counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string statusLine(const listener::EarSummary& summary, double now, const std::string& radioNote) {
    std::string line = summary.status + (radioNote.empty() ? "" : " (" + radioNote + ")") + "; " +
                       counted(summary.devicesLastWindow, "device", "devices") +
                       " in the last window; ";
    if (const auto& upload = summary.lastUpload) {
        // A clock set back makes the age negative: say 0 rather than nonsense.
        const long ageS = static_cast<long>(std::floor(std::max(0.0, now - upload->at)));
        const std::string ago = std::to_string(ageS) + " s ago";
        if (upload->failure.empty())
            line += "last upload " + std::to_string(upload->statusCode) + " " + ago;
        else
            line += "last upload failed " + ago + ": " + upload->failure;
    } else {
        line += "no upload yet";
    }
    return line + "; " + counted(summary.recordsWaiting, "record", "records") + " waiting";
}

}  // namespace brelo
