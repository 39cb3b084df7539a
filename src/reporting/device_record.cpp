#include "reporting/device_record.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace brelo::reporting {
namespace {

// Another listener's beacon advertises "KVQ-" followed by its node name.
constexpr std::string_view kListenerPrefix = "KVQ-";

}  // namespace

listener::DeviceRecord deviceRecord(const bluetooth::Uuid& id, listener::Seen seen, double ts) {
    using Json = listener::DeviceRecord;

    auto& s = seen.rssi;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();

    Json record = Json::object();
    auto& o = record.get_ref<Json::object_t&>();
    o.emplace("id", id.canonical());
    o.emplace("rssi", s[n / 2]);
    o.emplace("p75", s[std::min(3 * n / 4, n - 1)]);
    o.emplace("max", s[n - 1]);
    o.emplace("min", s[0]);
    o.emplace("packets", static_cast<int64_t>(n));
    // Always a floating-point number, even if the clock ever lands on a whole second.
    o.emplace("ts", Json(static_cast<Json::number_float_t>(ts)));

    Json::array_t services;
    services.reserve(seen.services.size());
    for (auto& service : seen.services)
        services.emplace_back(std::move(service));
    o.emplace("services", std::move(services));

    o.emplace("prefix", std::move(seen.prefix));
    if (seen.company)
        o.emplace("company", *seen.company);
    if (!seen.mfg.empty())
        o.emplace("mfg", std::move(seen.mfg));
    if (seen.tx)
        o.emplace("tx", *seen.tx);
    if (seen.listener && seen.name.starts_with(kListenerPrefix))
        o.emplace("listener", seen.name.substr(kListenerPrefix.size()));
    o.emplace("name", std::move(seen.name));
    return record;
}

}  // namespace brelo::reporting
