#include "reporting/device_record.h"

#include <algorithm>
#include <string_view>

#include "bluetooth/brelo_ids.h"

namespace brelo::reporting {
namespace {

// Uuid::canonical() written straight into the text, without a string of its own: upper-case
// hex digits in groups of 8-4-4-4-12, quoted.
void writeCanonical(JsonText& out, const bluetooth::Uuid& id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char text[38];
    char* p = text;
    *p++ = '"';
    const auto& bytes = id.bytes();
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *p++ = '-';
        *p++ = kDigits[bytes[i] >> 4];
        *p++ = kDigits[bytes[i] & 0xF];
    }
    *p++ = '"';
    out.raw(std::string_view(text, static_cast<size_t>(p - text)));
}

}  // namespace

void writeDeviceRecord(JsonText& out, const bluetooth::Uuid& id, Sighting& seen, std::string_view ts) {
    auto& s = seen.rssi;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();

    // The keys sorted, each with its punctuation as one piece; "id" is first unless
    // "company" is there.
    out.raw('{');
    if (seen.company) {
        out.raw("\"company\":");
        out.integer(*seen.company);
        out.raw(',');
    }
    out.raw("\"id\":");
    writeCanonical(out, id);
    if (seen.listener && seen.name.starts_with(bluetooth::kListenerNamePrefix)) {
        out.raw(",\"listener\":");
        out.string(std::string_view(seen.name).substr(bluetooth::kListenerNamePrefix.size()));
    }
    out.raw(",\"max\":");
    out.integer(s[n - 1]);
    if (!seen.mfg.empty()) {
        out.raw(",\"mfg\":");
        out.string(seen.mfg);
    }
    out.raw(",\"min\":");
    out.integer(s[0]);
    out.raw(",\"name\":");
    out.string(seen.name);
    out.raw(",\"p75\":");
    out.integer(s[std::min(3 * n / 4, n - 1)]);
    out.raw(",\"packets\":");
    out.integer(static_cast<int64_t>(n));
    out.raw(",\"prefix\":");
    out.string(seen.prefix);
    out.raw(",\"rssi\":");
    out.integer(s[n / 2]);
    out.raw(",\"services\":[");
    for (size_t i = 0; i < seen.services.size(); ++i) {
        if (i > 0)
            out.raw(',');
        out.string(seen.services[i]);
    }
    out.raw(']');
    out.raw(",\"ts\":");
    out.raw(ts);
    if (seen.tx) {
        out.raw(",\"tx\":");
        out.integer(*seen.tx);
    }
    out.raw('}');
}

}  // namespace brelo::reporting
