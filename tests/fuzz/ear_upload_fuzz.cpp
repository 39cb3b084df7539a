// Fuzzes the road of an advertisement through the Ear: ingest, the flush into device
// records, the upload body, the replay queue and the answers of the server. The input is a
// program of steps (hear an advertisement, let time pass, answer an upload, report a radio
// state, move the wall clock) run against an Ear on fake managers, a fake HTTP client and
// hand-driven time.
//
// After every step the target checks, against a model of its own:
// - every upload body is JSON that the server accepts (the sink's own checker: every key
//   and type of the device record table, no nulls, no record replayed after 120 s);
// - each flush's records are exactly what was heard since the last flush (readings, name,
//   company, prefix, manufacturer hex, transmit power, services, listener);
// - an upload carries the records waiting in the replay queue that are at most 120 s old,
//   in order and as they were first sent, before its own, and a failed upload puts its
//   records back at the front of the queue, cut to the newest 600: no record is lost within
//   those bounds.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "body_validator.h"
#include "fuzz/ear_model.h"
#include "fuzz/fuzz_check.h"
#include "runtime/log_writer.h"
#include "support/fake_bluetooth.h"
#include "support/fake_http_client.h"
#include "support/manual_time.h"

namespace {

using namespace brelo::fuzz;
using FakeHttp = brelo::test::FakeHttpClient;

constexpr size_t kPendingMax = 600;

// The Ear on fake managers, a fake HTTP client and hand-driven time, with a room taken from
// the input, beside the model of what it heard.
class Run {
public:
    explicit Run(FuzzedDataProvider& in) : in_(in), ads_(in) {
        room_ = in_.ConsumeBool() ? "" : in_.ConsumeRandomLengthString(24);
        ear_ = std::make_unique<brelo::listener::Ear>(
            "http://127.0.0.1:8791", "hall",
            brelo::listener::EarEnvironment{
                .bluetooth = bluetooth_, .timers = time_, .clock = time_, .http = http_, .room = room_});
    }

    void step() {
        const int op = in_.ConsumeIntegralInRange<int>(0, 13);
        if (op == 12 && in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
            outage();
        } else if (op == 12 || op == 13) {
            // The server fails everything in flight (so the replay queue can fill to its
            // cap over a few flushes of many devices), or is back and takes everything.
            while (!outstanding_.empty())
                answer(outstanding_.begin(), FakeHttp::status(op == 12 ? 503 : 204));
        } else {
            checked([&] { apply(op); });
        }
    }

private:
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

    // An outage with hundreds of devices: flushes whose uploads all fail, until the replay
    // queue holds its 600 records. Only the queue's length is followed here (each upload's
    // records counted in its text); what the cap kept is checked when it is sent again.
    void outage() {
        while (!outstanding_.empty())
            answer(outstanding_.begin(), FakeHttp::status(503));
        const int rounds = in_.ConsumeIntegralInRange<int>(1, 8);
        const size_t devices = in_.ConsumeIntegralInRange<size_t>(50, 200);
        for (int i = 0; i < rounds; ++i) {
            burst(devices, true);
            const size_t from = http_.calls.size();
            time_.advance(in_.ConsumeIntegralInRange<int>(4, 40) * 0.5);
            for (size_t c = from; c < http_.calls.size(); ++c) {
                const std::string& body = http_.calls[c].request.body;
                size_t records = 0;
                // Every record has an "id"; inside a JSON string the quotes would be escaped.
                for (size_t at = body.find("\"id\":"); at != std::string::npos; at = body.find("\"id\":", at + 1))
                    ++records;
                const size_t expected = std::min(kPendingMax, records + ear_->uploader().recordsWaiting());
                http_.complete(c, FakeHttp::status(503));
                check(ear_->uploader().recordsWaiting() == expected, "replay queue length after a failure in an outage",
                      std::to_string(ear_->uploader().recordsWaiting()) + " vs " + std::to_string(expected));
                http_.calls[c].request.body.clear();
            }
            if (http_.calls.size() > from)
                model_.batch.clear();  // the flush took the batch
        }
        pending_.clear();
        unknownPending_ = ear_->uploader().recordsWaiting();
        checkBatch();
    }

    template <class Step>
    void checked(Step&& step) {
        const size_t callsBefore = http_.calls.size();
        step();
        checkNewUploads(callsBefore);
        checkBatch();
        check(ear_->uploader().recordsWaiting() == pending_.size() + unknownPending_, "replay queue length");
    }

    void apply(int op) {
        switch (op) {
        case 0:
        case 1:
        case 2:
            hear(ads_.advertisement(ads_.pickId()));
            break;
        case 3:
            burst(in_.ConsumeIntegralInRange<size_t>(1, 200), in_.ConsumeBool());
            break;
        case 4:
        case 5:
            time_.advance(in_.ConsumeIntegralInRange<int>(1, 240) * 0.25);
            break;
        case 6:
        case 7:
            if (!outstanding_.empty())
                answer(std::next(outstanding_.begin(),
                                 static_cast<long>(in_.ConsumeIntegralInRange<size_t>(0, outstanding_.size() - 1))),
                       result());
            break;
        case 8: {
            auto& manager = in_.ConsumeBool() ? *bluetooth_.centrals().at(0) : *bluetooth_.centrals().at(1);
            manager.report(static_cast<brelo::bluetooth::ManagerState>(
                in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int>(-1, 6) : in_.ConsumeIntegral<int>()));
            break;
        }
        case 9:
            bluetooth_.setAuthorization(static_cast<brelo::bluetooth::Authorization>(in_.ConsumeIntegralInRange<int>(-1, 4)));
            break;
        case 10:
            time_.busy(in_.ConsumeIntegralInRange<int>(1, 200) * 0.25);
            break;
        default:
            // Someone sets the system clock; the server only ever sees times after 1970.
            time_.shiftWallClock(in_.ConsumeIntegralInRange<int>(-400, 400) * 0.5);
            break;
        }
    }

    brelo::reporting::HttpResult result() {
        switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return FakeHttp::status(in_.ConsumeIntegralInRange<long>(200, 299));
        case 1: {
            static const long odd[] = {0, 100, 199, 300, 301, 304, 400, 404, 500, 503, 600, -1, 1000000};
            return FakeHttp::status(in_.ConsumeBool() ? odd[in_.ConsumeIntegralInRange<size_t>(0, std::size(odd) - 1)]
                                                      : in_.ConsumeIntegral<long>());
        }
        case 2:
            return FakeHttp::transportError(in_.ConsumeRandomLengthString(64));
        case 3:
            return {.error = std::nullopt, .hasResponse = false, .statusCode = 0};
        default:
            return {.error = "reset after the answer", .hasResponse = true, .statusCode = 200};
        }
    }

    // Answers one upload still waiting for its answer, and checks the replay queue after it.
    void answer(std::map<size_t, std::vector<json>>::iterator it, const brelo::reporting::HttpResult& result) {
        const bool ok = !result.error && result.hasResponse && result.statusCode >= 200 && result.statusCode <= 299;
        if (!ok) {
            std::vector<json> expected = std::move(it->second);
            expected.insert(expected.end(), std::make_move_iterator(pending_.begin()),
                            std::make_move_iterator(pending_.end()));
            // Records left by an outage wait behind these and count towards the cap.
            const size_t cap = kPendingMax - unknownPending_;
            if (expected.size() > cap)
                expected.erase(expected.begin(), expected.end() - static_cast<long>(cap));
            pending_ = std::move(expected);
        }
        http_.complete(it->first, result);
        // What they hold is checked when they are replayed.
        if (ear_->uploader().recordsWaiting() != pending_.size() + unknownPending_)
            fail(ok ? "a successful upload changed the replay queue" : "a failed upload's records did not come back",
                 "expected " + std::to_string(pending_.size() + unknownPending_) + " records, queue holds " +
                     std::to_string(ear_->uploader().recordsWaiting()));
        outstanding_.erase(it);
    }

    void checkNewUploads(size_t from) {
        for (size_t i = from; i < http_.calls.size(); ++i) {
            auto& call = http_.calls[i];
            check(call.request.method == "POST" && call.request.pathSegment == "ble/ingest" &&
                      call.request.contentType == "application/json" && call.request.timeoutS == 5.0,
                  "request line");
            // As the server reads it: its own checker passes it, and it carries this node
            // and its room (no room key when the room is empty).
            brelo::sink::CheckedBody checked = brelo::sink::checkUploadText(call.request.body);
            if (!checked.faults.empty())
                fail("upload body refused by the server's checker", checked.faults.front().text());
            const json body = std::move(*checked.body);
            check(body.at("node") == "hall", "node");
            check(room_.empty() ? !body.contains("room") : body.at("room") == asSent(room_), "room");
            const double sentAt = body.at("sent_at").get<double>();
            check(sentAt <= time_.now(), "sent_at after the present");
            const json& devices = body.at("devices");

            // First the waiting records young enough to go again, in order (only the first
            // upload of a step finds any: it empties the queue).
            std::vector<json> replayed;
            for (json& r : pending_)
                if (sentAt - r.at("ts").get<double>() <= 120.0)
                    replayed.push_back(std::move(r));
            pending_.clear();
            if (unknownPending_ > 0) {
                // Left by an outage: whatever precedes this flush's own records, young enough.
                const size_t own = body.at("status") == "listening" ? model_.batch.size() : 0;
                const size_t known = replayed.size();
                check(devices.size() >= own + known && devices.size() - own - known <= unknownPending_,
                      "replayed after an outage");
                for (size_t k = known; k < devices.size() - own; ++k) {
                    check(sentAt - devices[k].at("ts").get<double>() <= 120.0, "a record replayed after 120 s");
                    replayed.push_back(devices[k]);
                }
                unknownPending_ = 0;
            }
            check(devices.size() >= replayed.size(), "replayed records missing");
            for (size_t k = 0; k < replayed.size(); ++k)
                if (devices[k] != replayed[k])
                    fail("replayed record out of order or changed", std::to_string(k));

            // Then this flush's own records: exactly what was heard.
            if (devices.size() > replayed.size()) {
                check(body.at("status") == "listening", "a flush that is not \"listening\"");
                checkFlushRecords(devices, replayed.size(), model_, sentAt);
            }
            outstanding_.emplace(i, std::vector<json>(devices.begin(), devices.end()));
            call.request.body.clear();  // keeps memory flat over long inputs
        }
        if (http_.calls.size() > from)
            check(ear_->uploader().recordsWaiting() == 0, "records left waiting after an upload took them");
    }

    void checkBatch() {
        check(ear_->sightings().window().size() == model_.batch.size(), "batch size",
              std::to_string(ear_->sightings().window().size()) + " vs " + std::to_string(model_.batch.size()));
        for (const auto& [id, seen] : ear_->sightings().window()) {
            auto it = model_.batch.find(id);
            check(it != model_.batch.end() && it->second.readings == seen.rssi, "batch readings");
        }
    }

    FuzzedDataProvider& in_;
    AdvertisementSource ads_;
    std::string room_;
    brelo::test::ManualTime time_;
    brelo::test::FakeBluetoothPlatform bluetooth_;
    FakeHttp http_;
    Model model_;
    std::map<size_t, std::vector<json>> outstanding_;  // call index -> its records, until answered
    std::vector<json> pending_;                         // what the replay queue should hold
    size_t unknownPending_ = 0;                         // and how many more, left by an outage
    std::unique_ptr<brelo::listener::Ear> ear_;         // last: goes first
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    brelo::replaceLogSink([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Run run(in);
    for (int i = 0; i < 32 && in.remaining_bytes() > 0; ++i)
        run.step();
    return 0;
}
