#include "reporting/upload_body.h"

#include "reporting/json_text.h"

namespace brelo::reporting {

std::string encodeUploadBody(const UploadEnvelope& envelope, const std::vector<RecordTexts>& records) {
    size_t bytes = 256;
    for (const auto& r : records)
        bytes += r.text.size() + 1;
    std::string body;
    body.reserve(bytes);  // one allocation for the usual body
    JsonText out(body);
    out.raw("{\"devices\":[");
    bool first = true;
    for (const auto& r : records) {
        if (r.empty())
            continue;
        if (!first)
            out.raw(',');
        first = false;
        out.raw(r.text);
    }
    out.raw("],\"node\":");
    out.string(envelope.node);
    if (!envelope.room.empty()) {
        out.raw(",\"room\":");
        out.string(envelope.room);
    }
    out.raw(",\"sent_at\":");
    out.floating(envelope.sentAt);
    out.raw(",\"status\":");
    out.string(envelope.status);
    out.raw(",\"version\":");
    out.string(envelope.version);
    out.raw('}');
    return body;
}

}  // namespace brelo::reporting
