#include "reporting/upload_body.h"

namespace brelo::reporting {
namespace {

using Json = listener::DeviceRecord;

std::string dumpReplacing(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string encodeUploadBody(const UploadEnvelope& envelope, const std::vector<listener::DeviceRecord>& devices) {
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
    std::string body = "{\"devices\":[";
    bool first = true;
    for (const auto& record : devices) {
        if (!first)
            body.push_back(',');
        first = false;
        body += dumpReplacing(record);
    }
    body += "],";
    // The head always holds "node", so its text is "{...}"; drop its opening brace.
    std::string rest = dumpReplacing(head);
    body.append(rest, 1, std::string::npos);
    return body;
}

}  // namespace brelo::reporting
