// Advertisement ingest: folds every accepted report into the window. This runs for every
// advertisement the radio hears (thousands a second in a busy place), so it works in place
// on the window's record and reuses the record's buffers instead of building new values.
#include "listener/sightings.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "bluetooth/brelo_ids.h"
#include "listener/hex.h"
#include "reporting/flush.h"

namespace brelo::listener {
namespace {

// Readings outside this range are not real signal strengths (0 and 127 are what stacks
// report for "unknown").
constexpr int64_t kWeakestReading = -109;
constexpr int64_t kStrongestReading = -1;

constexpr size_t kCompanyBytes = 2;
constexpr size_t kPrefixBytes = 2;
constexpr size_t kMfgHexBytes = 32;
constexpr size_t kReadingsReserved = 16;

}  // namespace

void Sightings::hear(const bluetooth::Advertisement& advertisement) {
    const int64_t reading = advertisement.rssi;
    if (reading < kWeakestReading || reading > kStrongestReading)
        return;

    const bluetooth::Uuid& id = advertisement.identifier;

    // The advertised local name wins even when it is empty; only without one does the
    // platform's own name for the device count.
    std::string_view candidate;
    if (advertisement.localName)
        candidate = *advertisement.localName;
    else if (advertisement.peripheralName)
        candidate = *advertisement.peripheralName;
    if (!candidate.empty())
        names_.put(id, std::string(candidate));

    auto [entry, isNew] = window_.try_emplace(id);
    Seen& seen = entry->second;
    // A device heard in a window is usually heard several times in it: room for that many
    // readings at once instead of growing the list one doubling at a time.
    if (isNew)
        seen.rssi.reserve(kReadingsReserved);

    // A record's name always comes from `names`. While a record lives, the only change to
    // this identifier's entry is the put above, so an existing record already holds the
    // entry unless this report brought a name; a new record looks it up once.
    if (!candidate.empty()) {
        seen.name.assign(candidate);
    } else if (isNew) {
        if (const std::string* known = names_.find(id))
            seen.name = *known;
    }

    if (advertisement.manufacturerData && !advertisement.manufacturerData->empty()) {
        std::span<const uint8_t> data(*advertisement.manufacturerData);
        if (data.size() >= kCompanyBytes) {
            // Bluetooth company identifier, least significant byte first.
            seen.company = static_cast<int64_t>(data[0]) | static_cast<int64_t>(data[1]) << 8;
            seen.prefix.clear();
            appendHex(seen.prefix, data.subspan(kCompanyBytes, std::min(data.size() - kCompanyBytes, kPrefixBytes)));
        }
        seen.mfg.clear();
        appendHex(seen.mfg, data.first(std::min(data.size(), kMfgHexBytes)));
    }

    if (advertisement.txPowerLevel)
        seen.tx = *advertisement.txPowerLevel;

    if (advertisement.serviceUuids && !advertisement.serviceUuids->empty()) {
        const auto& uuids = *advertisement.serviceUuids;
        if (!seen.listener)
            seen.listener = std::find(uuids.begin(), uuids.end(), bluetooth::listenerBeaconService()) != uuids.end();
        // A non-empty list replaces the earlier one whole, duplicates and order as advertised.
        seen.services.resize(uuids.size());
        for (size_t i = 0; i < uuids.size(); ++i)
            seen.services[i] = uuids[i].string();
    }

    seen.rssi.push_back(reading);
}

reporting::RecordTexts Sightings::take(double now) {
    return reporting::flushWindow(window_, now);
}

}  // namespace brelo::listener
