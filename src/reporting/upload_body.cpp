#include "reporting/upload_body.h"

#include "reporting/json_text.h"

namespace brelo::reporting {

using Json = listener::DeviceRecord;

std::string encodeUploadBody(const UploadEnvelope& envelope, const std::vector<listener::DeviceRecord>& devices,
                             const RecordTexts& written) {
    Json head = Json::object();
    auto& o = head.get_ref<Json::object_t&>();
    o.emplace("node", envelope.node);
    o.emplace("status", envelope.status);
    o.emplace("sent_at", Json(static_cast<Json::number_float_t>(envelope.sentAt)));
    o.emplace("version", envelope.version);
    if (!envelope.room.empty())
        o.emplace("room", envelope.room);

    // The records are written straight into the body rather than copied into a JSON array
    // first: the upload keeps them for a possible replay, so a copy would be pure waste.
    std::string body;
    // A device record comes to some 250 bytes: one allocation for the usual body.
    body.reserve(256 * devices.size() + written.text.size() + 256);
    body += "{\"devices\":[";
    JsonText writer(body);
    bool first = true;
    for (const auto& record : devices) {
        if (!first)
            body.push_back(',');
        first = false;
        writer.value(record);
    }
    if (!written.empty()) {
        if (!first)
            body.push_back(',');
        body += written.text;
    }
    body += "],";
    // The head always holds "node", so its text is "{...}"; drop its opening brace.
    std::string rest = dumpReplacing(head);
    body.append(rest, 1, std::string::npos);
    return body;
}

}  // namespace brelo::reporting
