#pragma once

// The Ear as both Ear fuzz targets run it: on fake managers, a fake HTTP client and
// hand-driven time, with a room taken from the input, beside the model of what it heard.

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "body_validator.h"
#include "fuzz/ear_model.h"
#include "fuzz/fuzz_check.h"
#include "listener/ear.h"
#include "support/fake_bluetooth.h"
#include "support/fake_http_client.h"
#include "support/manual_time.h"

namespace brelo::fuzz {

class EarOnFakes {
public:
    explicit EarOnFakes(FuzzedDataProvider& in) : in_(in), ads_(in) {
        room_ = in_.ConsumeBool() ? "" : in_.ConsumeRandomLengthString(24);
        ear_ = std::make_unique<listener::Ear>(
            "http://127.0.0.1:8791", "hall",
            listener::EarEnvironment{
                .bluetooth = bluetooth_, .timers = time_, .clock = time_, .http = http_, .room = room_});
    }

    // One advertisement, to the model and to the Ear.
    void hear(const Advertisement& a) {
        model_.hear(a);
        bluetooth_.centrals().at(0)->discover(a);
    }

    // n reports at once: of one device again and again, or of n devices from the pool.
    void burst(size_t n, bool distinct) {
        Advertisement a = ads_.advertisement(ads_.pickId());
        const size_t first = in_.ConsumeIntegralInRange<size_t>(0, kIdPool - 1);
        for (size_t i = 0; i < n; ++i) {
            if (distinct)
                a.identifier = poolId((first + i) % kIdPool);
            hear(a);
        }
    }

    // An upload body as the server reads it: passes the server's own checker, and carries
    // this node and its room (no room key when the room is empty). Returns the parsed body.
    json checkedUploadBody(const std::string& text) const {
        sink::CheckedBody checked = sink::checkUploadText(text);
        if (!checked.faults.empty())
            fail("upload body refused by the server's checker", checked.faults.front().text());
        json body = std::move(*checked.body);
        check(body.at("node") == "hall", "node");
        if (room_.empty())
            check(!body.contains("room"), "empty room sent");
        else
            check(body.at("room") == asSent(room_), "room");
        return body;
    }

protected:
    using FakeHttp = test::FakeHttpClient;

    FuzzedDataProvider& in_;
    AdvertisementSource ads_;
    std::string room_;
    test::ManualTime time_;
    test::FakeBluetoothPlatform bluetooth_;
    FakeHttp http_;
    Model model_;
    std::unique_ptr<listener::Ear> ear_;  // last: goes first
};

}  // namespace brelo::fuzz
