#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "listener/ear.h"
#include "reporting/record_texts.h"

namespace brelo::reporting {

struct UploadEnvelope {
    std::string_view node;
    std::string_view room;  // left out of the body when empty
    std::string_view status;
    double sentAt = 0;      // seconds since 1970
    std::string_view version;
};

// The upload body as compact JSON: the envelope's keys and "devices" holding the records
// in order, then the records already written as text. Invalid UTF-8 (device names come
// from the air) is replaced, never an error.
std::string encodeUploadBody(const UploadEnvelope& envelope, const std::vector<listener::DeviceRecord>& devices,
                             const RecordTexts& written = {});

}  // namespace brelo::reporting
