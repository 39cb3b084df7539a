// In-process cost of the listener's hot road: ingest of one advertisement, the flush of a
// batch into device records (with the upload body it sends), and the encoding of a full
// upload body. The Ear runs with fakes around it (bench_fakes.h), so nothing here touches
// D-Bus, a socket or the clock.
//
// "per_report" counters are seconds per advertisement: the figure to hold against the
// budget of 200 ns for ingest plus its share of the flush.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_fakes.h"
#include "listener/ear.h"
#include "reporting/device_record.h"
#include "reporting/flush.h"
#include "reporting/json_text.h"
#include "reporting/record_texts.h"
#include "reporting/upload_body.h"

namespace {

using namespace brelo;

// Readings per device per window in the ingest and flush cases.
constexpr int64_t kReadingsPerWindow = 10;

struct Node {
    bench::BenchPlatform platform;
    bench::IdleTimers timers;
    bench::FixedClock clock;
    bench::DiscardingHttp http;
    listener::Ear ear{"http://127.0.0.1:8791", "bench",
                      {.bluetooth = platform, .timers = timers, .clock = clock, .http = http, .room = "hall"}};
    std::unique_ptr<bluetooth::CentralManager> central = platform.makeCentralManager(ear);

    void discover(bluetooth::Advertisement& ad, uint64_t i) {
        // Readings vary as they do on the air, so the flush sorts real data.
        ad.rssi = -40 - static_cast<int64_t>((i * 7) % 53);
        ear.centralManagerDidDiscover(*central, ad);
    }
};

std::vector<bluetooth::Advertisement> advertisements(size_t devices) {
    std::vector<bluetooth::Advertisement> ads;
    ads.reserve(devices);
    for (size_t d = 0; d < devices; ++d)
        ads.push_back(bench::phoneAdvertisement(static_cast<uint32_t>(d), -60));
    return ads;
}

void fillWindow(Node& node, std::vector<bluetooth::Advertisement>& ads, int64_t readings) {
    uint64_t i = 0;
    for (int64_t r = 0; r < readings; ++r)
        for (auto& ad : ads)
            node.discover(ad, i++);
}

// One report into a batch that already holds `devices` devices. The batch is flushed (not
// timed) after kReadingsPerWindow rounds, so the lists stay window-sized.
void BM_Ingest(benchmark::State& state) {
    const auto devices = static_cast<size_t>(state.range(0));
    Node node;
    auto ads = advertisements(devices);
    fillWindow(node, ads, 1);
    const uint64_t window = devices * kReadingsPerWindow;
    uint64_t i = 0;
    size_t d = 0;
    uint64_t sinceClear = 0;
    for (auto _ : state) {
        node.discover(ads[d], i++);
        if (++d == devices)
            d = 0;
        if (++sinceClear == window) {
            state.PauseTiming();
            node.ear.flush();
            fillWindow(node, ads, 1);
            sinceClear = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["per_report"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_Ingest)->ArgName("devices")->Arg(1)->Arg(100)->Arg(10000);

// The flush of `devices` devices with kReadingsPerWindow readings each: records, the upload
// body and its hand-over to the HTTP client. Refilling the batch is not timed.
void BM_Flush(benchmark::State& state) {
    const auto devices = static_cast<size_t>(state.range(0));
    Node node;
    auto ads = advertisements(devices);
    for (auto _ : state) {
        state.PauseTiming();
        fillWindow(node, ads, kReadingsPerWindow);
        state.ResumeTiming();
        node.ear.flush();
    }
    const double reports = static_cast<double>(devices) * kReadingsPerWindow;
    benchmark::DoNotOptimize(node.http.bytes);
    state.counters["per_report"] = benchmark::Counter(
        reports, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["body_bytes"] = static_cast<double>(node.http.bytes) / static_cast<double>(node.http.requests);
}
BENCHMARK(BM_Flush)->ArgName("devices")->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// A whole window as the node lives it: `readings` reports from each of `devices` devices,
// then the flush. 50 devices x 80 readings is 2,000 reports/s over a 2 s window.
void BM_Window(benchmark::State& state) {
    const auto devices = static_cast<size_t>(state.range(0));
    const int64_t readings = state.range(1);
    Node node;
    auto ads = advertisements(devices);
    for (auto _ : state) {
        fillWindow(node, ads, readings);
        node.ear.flush();
    }
    benchmark::DoNotOptimize(node.http.bytes);
    state.counters["per_report"] = benchmark::Counter(
        static_cast<double>(devices) * static_cast<double>(readings),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Window)->ArgNames({"devices", "readings"})->Args({50, 80})->Args({100, 10})->Args({1000, 10})
    ->Unit(benchmark::kMicrosecond);

// One device record written as JSON text from a sighting of kReadingsPerWindow readings,
// the flush's work per device.
void BM_RecordText(benchmark::State& state) {
    Node node;
    auto ads = advertisements(1);
    fillWindow(node, ads, kReadingsPerWindow);
    const auto& [id, seen] = *node.ear.sightings().window().begin();
    listener::Seen copy = seen;
    const std::string ts = reporting::floatingText(node.clock.t);
    std::string text;
    for (auto _ : state) {
        text.clear();
        reporting::JsonText out(text);
        reporting::writeDeviceRecord(out, id, copy, ts);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_RecordText);

// An upload body of 600 replayed records (six windows of 100) and 100 new ones: the largest
// body the node sends after the server has been away.
void BM_EncodeBody(benchmark::State& state) {
    constexpr size_t kWindows = 7;
    constexpr size_t kPerWindow = 100;
    Node node;
    auto ads = advertisements(kPerWindow);
    std::vector<reporting::RecordTexts> records;
    for (size_t w = 0; w < kWindows; ++w) {
        fillWindow(node, ads, kReadingsPerWindow);
        reporting::Window window = node.ear.sightings().window();
        records.push_back(reporting::flushWindow(window, node.clock.t - 2.0 * static_cast<double>(kWindows - w)));
        node.ear.flush();
    }
    const reporting::UploadEnvelope envelope{
        .node = "bench", .room = "hall", .status = "listening", .sentAt = node.clock.t, .version = "2.0"};
    size_t bytes = 0;
    for (auto _ : state) {
        std::string body = reporting::encodeUploadBody(envelope, records);
        bytes = body.size();
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
    state.counters["per_record"] = benchmark::Counter(static_cast<double>(kWindows * kPerWindow),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_EncodeBody)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
