#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/log_writer.h"
#include "bluetooth/brelo_ids.h"
#include "listener/ear.h"
#include "support/fake_bluetooth.h"
#include "support/fake_http_client.h"
#include "support/manual_time.h"

namespace brelo::test {

// Collects the messages that log() writes (without their time stamps) while it exists.
class LogCapture {
public:
    LogCapture()
        : previous_(replaceLogSink([this](std::string_view line) {
              // "yyyy-MM-dd HH:mm:ss " then the message and a line feed.
              line.remove_prefix(std::min<size_t>(20, line.size()));
              if (!line.empty() && line.back() == '\n')
                  line.remove_suffix(1);
              lines.emplace_back(line);
          })) {}
    ~LogCapture() { replaceLogSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines;

private:
    LogSink previous_;
};

// An Ear on fake managers, a fake HTTP client and hand-driven time.
struct EarHarness {
    explicit EarHarness(std::string room = "") {
        ear = std::make_unique<listener::Ear>(
            "http://127.0.0.1:8791", "hall",
            listener::EarEnvironment{.bluetooth = bluetooth, .timers = time, .clock = time, .http = http, .room = room});
    }

    FakeCentralManager& central() { return *bluetooth.centrals().at(0); }
    FakeCentralManager& family() { return *bluetooth.centrals().at(1); }
    void hear(const bluetooth::Advertisement& advertisement) { central().discover(advertisement); }

    nlohmann::json body(size_t index) const { return nlohmann::json::parse(http.calls.at(index).request.body); }
    nlohmann::json devices(size_t index) const { return body(index).at("devices"); }

    LogCapture log;
    ManualTime time;
    FakeBluetoothPlatform bluetooth;
    FakeHttpClient http;
    std::unique_ptr<listener::Ear> ear;
};

// An identifier that tests can tell apart by number.
inline bluetooth::Uuid testId(uint32_t n) {
    using B = uint8_t;
    return bluetooth::Uuid({0xA0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, B(n >> 24), B(n >> 16), B(n >> 8), B(n)});
}

inline bluetooth::Advertisement advert(uint32_t n, int64_t rssi = -60) {
    bluetooth::Advertisement a;
    a.identifier = testId(n);
    a.rssi = rssi;
    return a;
}

}  // namespace brelo::test
