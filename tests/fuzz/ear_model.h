#pragma once

// For the Ear fuzz target: advertisements with any field values decoded from the
// fuzzer's input, and a model of the record the Ear should write for what was heard.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluetooth/platform.h"
#include "fuzz/fuzz_check.h"
#include "bluetooth/brelo_ids.h"
#include "listener/ear.h"

namespace brelo::fuzz {

using bluetooth::Advertisement;
using bluetooth::Uuid;
using nlohmann::json;


constexpr size_t kIdPool = 1024;

inline Uuid poolId(size_t n) {
    Uuid::Bytes b{0xA0, 0x01};
    b[14] = static_cast<uint8_t>(n >> 8);
    b[15] = static_cast<uint8_t>(n);
    return Uuid(b);
}

// A text as it reads back from the JSON the Ear writes (invalid UTF-8 replaced).
inline std::string asSent(const std::string& s) {
    return json::parse(json(s).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

inline std::string hex(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// What the Ear should know of one device within one flush window.
struct ModelSeen {
    bool listener = false;
    std::optional<int64_t> company;
    std::string prefix;
    std::string mfg;
    std::optional<int64_t> tx;
    std::vector<std::string> services;
    std::vector<int64_t> readings;
};

struct Model {
    std::map<Uuid, std::string> names;
    std::map<Uuid, ModelSeen> batch;

    void hear(const Advertisement& a) {
        if (a.rssi < -109 || a.rssi > -1)
            return;
        const std::string* candidate = a.localName ? &*a.localName : a.peripheralName ? &*a.peripheralName : nullptr;
        if (candidate && !candidate->empty())
            names[a.identifier] = *candidate;
        ModelSeen& s = batch[a.identifier];
        if (a.manufacturerData && !a.manufacturerData->empty()) {
            const auto& d = *a.manufacturerData;
            if (d.size() >= 2) {
                s.company = d[0] | d[1] << 8;
                s.prefix = hex(d, 2, 2);
            }
            s.mfg = hex(d, 0, 32);
        }
        if (a.txPowerLevel)
            s.tx = *a.txPowerLevel;
        if (a.serviceUuids && !a.serviceUuids->empty()) {
            s.services.clear();
            for (const Uuid& u : *a.serviceUuids) {
                s.services.push_back(u.string());
                s.listener = s.listener || u == bluetooth::listenerBeaconService();
            }
        }
        s.readings.push_back(a.rssi);
    }

    json record(const Uuid& id, const ModelSeen& s, double ts) const {
        std::vector<int64_t> r = s.readings;
        std::sort(r.begin(), r.end());
        const size_t n = r.size();
        auto name = names.find(id);
        const std::string recordName = name == names.end() ? "" : name->second;
        json rec = {{"id", id.canonical()},
                    {"rssi", r[n / 2]},
                    {"p75", r[std::min(3 * n / 4, n - 1)]},
                    {"max", r[n - 1]},
                    {"min", r[0]},
                    {"name", sent(recordName)},
                    {"services", s.services},
                    {"prefix", s.prefix},
                    {"packets", n},
                    {"ts", ts}};
        if (s.company)
            rec["company"] = *s.company;
        if (!s.mfg.empty())
            rec["mfg"] = s.mfg;
        if (s.tx)
            rec["tx"] = *s.tx;
        if (s.listener && recordName.rfind("KVQ-", 0) == 0)
            rec["listener"] = sent(recordName.substr(4));
        return rec;
    }

    // asSent, remembered: the same few names come back in every flush.
    const std::string& sent(const std::string& name) const {
        auto it = sentNames_.find(name);
        if (it == sentNames_.end())
            it = sentNames_.emplace(name, asSent(name)).first;
        return it->second;
    }

private:
    mutable std::map<std::string, std::string> sentNames_;
};

// Checks the records a flush sent, devices[from] onwards, against what was heard in its
// window: one record per device heard, each exactly the model's. Empties the window.
inline void checkFlushRecords(const json& devices, size_t from, Model& model, double sentAt) {
    check(devices.size() - from == model.batch.size(), "flush record count",
          std::to_string(devices.size() - from) + " sent, " + std::to_string(model.batch.size()) + " heard");
    for (size_t k = from; k < devices.size(); ++k) {
        const json& rec = devices[k];
        auto id = Uuid::parse(rec.at("id").get<std::string>());
        check(id.has_value(), "record id");
        auto seen = model.batch.find(*id);
        check(seen != model.batch.end(), "a record for a device not heard");
        json want = model.record(*id, seen->second, sentAt);
        if (rec != want)
            fail("flush record differs from what was heard", rec.dump() + "\n  expected " + want.dump());
    }
    model.batch.clear();
}

// Advertisements decoded from the input: mostly a few devices heard again and again, some
// from a pool of 1,024, now and then any identifier at all.
class AdvertisementSource {
public:
    explicit AdvertisementSource(FuzzedDataProvider& in) : in_(in) {}

    Uuid pickId() {
        if (in_.ConsumeIntegralInRange<int>(0, 31) == 0)
            return anyUuid();
        return poolId(in_.ConsumeIntegralInRange<size_t>(0, 7) == 0 ? in_.ConsumeIntegralInRange<size_t>(0, kIdPool - 1)
                                                                    : in_.ConsumeIntegralInRange<size_t>(0, 3));
    }

    std::string name() {
        switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
        case 1:
            return "KVQ-" + in_.ConsumeRandomLengthString(20);
        case 2:
            // Long names; rare and at most 1 KiB, as they slow every check down (the 10 KiB
            // ones go through the whole program in tests/reliability).
            return std::string(in_.ConsumeIntegralInRange<size_t>(0, 1024), 'n');
        case 3:
            return "Desk\nLamp\r\t\x01\x7f";
        default:
            return in_.ConsumeRandomLengthString(40);  // any bytes: invalid UTF-8 too
        }
    }

    Uuid service() {
        switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return bluetooth::listenerBeaconService();
        case 1:
            return bluetooth::houseBreloService();
        case 2:
            return *Uuid::parse("180F");
        default:
            return anyUuid();
        }
    }

    Advertisement advertisement(const Uuid& id) {
        Advertisement a;
        a.identifier = id;
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            a.rssi = in_.ConsumeIntegral<int64_t>();
            break;
        case 1:
            a.rssi = in_.ConsumeIntegralInRange<int64_t>(-111, 1);
            break;
        default:
            a.rssi = in_.ConsumeIntegralInRange<int64_t>(-109, -1);
            break;
        }
        if (in_.ConsumeBool())
            a.localName = name();
        if (in_.ConsumeBool())
            a.peripheralName = name();
        if (in_.ConsumeBool())
            a.manufacturerData = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 300));
        if (in_.ConsumeBool()) {
            a.serviceUuids.emplace();
            const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 5);
            for (size_t i = 0; i < n; ++i)
                a.serviceUuids->push_back(service());
        }
        if (in_.ConsumeBool())
            a.txPowerLevel = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int64_t>(-127, 20) : in_.ConsumeIntegral<int64_t>();
        return a;
    }

private:
    Uuid anyUuid() {
        Uuid::Bytes b{};
        auto bytes = in_.ConsumeBytes<uint8_t>(16);
        std::copy(bytes.begin(), bytes.end(), b.begin());
        return Uuid(b);
    }

    FuzzedDataProvider& in_;
};

}  // namespace brelo::fuzz
