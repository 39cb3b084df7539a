// Fuzzes flush windows of the Ear: advertisements with any field values from one device or
// many (names of any bytes, manufacturer data of any length, any services and transmit
// power), then the flush into one record per device and the upload body. Two windows at most
// per input (the second shows names heard in the first), each small, so that the fuzzer
// tries thousands of them a second; the replay queue and the server's answers over time are
// ear_upload_fuzz's.
//
// Checked after every window: the body passes the server's own checker; it carries the node
// and the room; it holds exactly one record per device heard in the window, each exactly what
// the model says of what was heard; the Ear's window is empty afterwards.

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "app/log_writer.h"
#include "body_validator.h"
#include "fuzz/ear_model.h"
#include "fuzz/fuzz_check.h"
#include "listener/ear.h"
#include "support/fake_bluetooth.h"
#include "support/fake_http_client.h"
#include "support/manual_time.h"

namespace {

using brelo::fuzz::Advertisement;
using brelo::fuzz::check;
using brelo::fuzz::fail;
using brelo::fuzz::json;
using brelo::fuzz::kIdPool;
using brelo::fuzz::poolId;

constexpr int kMaxWindows = 2;
constexpr int kMaxStepsPerWindow = 24;
constexpr size_t kMaxBurst = 16;
constexpr double kFlushIntervalS = 2.0;

class Windows {
public:
    explicit Windows(FuzzedDataProvider& in) : in_(in) {
        room_ = in_.ConsumeBool() ? "" : in_.ConsumeRandomLengthString(24);
        ear_ = std::make_unique<brelo::listener::Ear>(
            "http://127.0.0.1:8791", "hall",
            brelo::listener::EarEnvironment{
                .bluetooth = bluetooth_, .timers = time_, .clock = time_, .http = http_, .room = room_});
    }

    void run() {
        for (int w = 0; w < kMaxWindows && in_.remaining_bytes() > 0; ++w) {
            hearWindow();
            flush();
        }
    }

private:
    // Advertisements until the input says the window ends (or runs out).
    void hearWindow() {
        for (int step = 0; step < kMaxStepsPerWindow && in_.remaining_bytes() > 0; ++step) {
            switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                return;
            case 1: {
                // Many devices at once, or one device many times.
                Advertisement a = ads_.advertisement(ads_.pickId());
                const size_t n = in_.ConsumeIntegralInRange<size_t>(1, kMaxBurst);
                const size_t first = in_.ConsumeIntegralInRange<size_t>(0, kIdPool - 1);
                const bool distinct = in_.ConsumeBool();
                for (size_t i = 0; i < n; ++i) {
                    if (distinct)
                        a.identifier = poolId((first + i) % kIdPool);
                    hear(a);
                }
                break;
            }
            default:
                hear(ads_.advertisement(ads_.pickId()));
                break;
            }
        }
    }

    void hear(const Advertisement& a) {
        model_.hear(a);
        bluetooth_.centrals().at(0)->discover(a);
    }

    // Lets the window end; every upload it makes is checked, then answered as a server would.
    void flush() {
        const size_t from = http_.calls.size();
        const bool heard = !model_.batch.empty();
        time_.advance(kFlushIntervalS);
        size_t withDevices = 0;
        for (size_t i = from; i < http_.calls.size(); ++i) {
            const auto& request = http_.calls[i].request;
            brelo::sink::CheckedBody checked = brelo::sink::checkUploadText(request.body);
            if (!checked.faults.empty())
                fail("upload body refused by the server's checker", checked.faults.front().text());
            const json& body = *checked.body;
            check(body.at("node") == "hall", "node");
            if (room_.empty())
                check(!body.contains("room"), "empty room sent");
            else
                check(body.at("room") == brelo::fuzz::asSent(room_), "room");
            const json& devices = body.at("devices");
            if (!devices.empty()) {
                ++withDevices;
                check(body.at("status") == "listening", "a flush that is not \"listening\"");
                brelo::fuzz::checkFlushRecords(devices, 0, model_, body.at("sent_at").get<double>());
            }
            http_.complete(i, FakeHttp::status(204));
        }
        check(withDevices == (heard ? 1u : 0u), "one upload of records per window that heard anything");
        check(ear_->batch.empty() && model_.batch.empty(), "window left after its flush");
        check(ear_->pending.empty(), "records waiting although every upload succeeded");
    }

    using FakeHttp = brelo::test::FakeHttpClient;

    FuzzedDataProvider& in_;
    brelo::fuzz::AdvertisementSource ads_{in_};
    std::string room_;
    brelo::test::ManualTime time_;
    brelo::test::FakeBluetoothPlatform bluetooth_;
    FakeHttp http_;
    brelo::fuzz::Model model_;
    std::unique_ptr<brelo::listener::Ear> ear_;  // last: goes first
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    brelo::replaceLogSink([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Windows windows(in);
    windows.run();
    return 0;
}
