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

#include "runtime/log_writer.h"
#include "fuzz/ear_on_fakes.h"

namespace {

using brelo::fuzz::check;
using brelo::fuzz::json;

constexpr int kMaxWindows = 2;
constexpr int kMaxStepsPerWindow = 24;
constexpr size_t kMaxBurst = 16;
constexpr double kFlushIntervalS = 2.0;

class Windows : private brelo::fuzz::EarOnFakes {
public:
    explicit Windows(FuzzedDataProvider& in) : EarOnFakes(in) {}

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
                const size_t n = in_.ConsumeIntegralInRange<size_t>(1, kMaxBurst);
                burst(n, in_.ConsumeBool());
                break;
            }
            default:
                hear(ads_.advertisement(ads_.pickId()));
                break;
            }
        }
    }

    // Lets the window end; every upload it makes is checked, then answered as a server would.
    void flush() {
        const size_t from = http_.calls.size();
        const bool heard = !model_.batch.empty();
        time_.advance(kFlushIntervalS);
        size_t withDevices = 0;
        for (size_t i = from; i < http_.calls.size(); ++i) {
            const json body = checkedUploadBody(http_.calls[i].request.body);
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
