#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "reporting/record_texts.h"

namespace brelo::reporting {

struct UploadEnvelope {
    std::string_view node;
    std::string_view room;  // left out of the body when empty
    std::string_view status;
    double sentAt = 0;      // seconds since 1970
    std::string_view version;
};

// The upload body as compact JSON: "devices" holding the records in order, then the
// envelope's keys. Invalid UTF-8 (the node's name comes from the user) is replaced, never
// an error.
std::string encodeUploadBody(const UploadEnvelope& envelope, const std::vector<RecordTexts>& records);

}  // namespace brelo::reporting
