#pragma once

// Stand-ins for the Ear's surroundings in the in-process benchmarks: a platform whose
// managers are always powered on, timers that never fire (the benchmark flushes by hand),
// a fixed clock and an HTTP client that throws every body away. All as cheap as they can
// be, so the figures are the Ear's own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bluetooth/platform.h"
#include "reporting/http_client.h"
#include "runtime/clock.h"
#include "runtime/timer_service.h"

namespace brelo::bench {

class PoweredCentral final : public bluetooth::CentralManager {
public:
    bluetooth::ManagerState state() const override { return bluetooth::ManagerState::poweredOn; }
    void scanForPeripherals(const std::optional<std::vector<bluetooth::Uuid>>&) override {}
};

class PoweredPeripheral final : public bluetooth::PeripheralManager {
public:
    bluetooth::ManagerState state() const override { return bluetooth::ManagerState::poweredOn; }
    void startAdvertising(const bluetooth::AdvertisingData&) override {}
};

class BenchPlatform final : public bluetooth::BluetoothPlatform {
public:
    std::unique_ptr<bluetooth::CentralManager> makeCentralManager(bluetooth::CentralManagerDelegate&) override {
        return std::make_unique<PoweredCentral>();
    }
    std::unique_ptr<bluetooth::PeripheralManager> makePeripheralManager(bluetooth::PeripheralManagerDelegate&) override {
        return std::make_unique<PoweredPeripheral>();
    }
    bluetooth::Authorization authorization() const override { return bluetooth::Authorization::allowedAlways; }
};

class IdleTimers final : public runtime::TimerService {
public:
    std::unique_ptr<runtime::Timer> repeating(double, std::function<void()>) override {
        return std::make_unique<runtime::Timer>();
    }
};

class FixedClock final : public runtime::Clock {
public:
    double now() const override { return t; }
    double t = 1.7e9;
};

// Drops the request and its completion, which frees the upload's records as a successful
// upload would. Counts what went out so the work cannot be optimised away.
class DiscardingHttp final : public reporting::HttpClient {
public:
    void send(reporting::HttpRequest request, Completion) override {
        ++requests;
        bytes += request.body.size();
    }
    size_t requests = 0;
    size_t bytes = 0;
};

// A phone-like advertisement: Apple manufacturer data of 26 bytes, a transmit power, no
// name. Every tenth device is a tag instead, with a name and one 16-bit service UUID.
inline bluetooth::Advertisement phoneAdvertisement(uint32_t device, int64_t rssi) {
    bluetooth::Uuid::Bytes bytes{};
    // Spread the identifiers over all bytes, as name-based UUIDs are.
    uint64_t x = device * 0x9E3779B97F4A7C15ull + 0x1234567;
    for (size_t i = 0; i < bytes.size(); ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        bytes[i] = static_cast<uint8_t>(x >> 56);
    }
    bluetooth::Advertisement ad;
    ad.identifier = bluetooth::Uuid(bytes);
    std::vector<uint8_t> mfg{0x4C, 0x00, 0x10, 0x05, 0x0B, 0x1C};
    for (uint8_t i = 0; mfg.size() < 26; ++i)
        mfg.push_back(static_cast<uint8_t>(device * 7 + i));
    ad.manufacturerData = std::move(mfg);
    ad.txPowerLevel = 12;
    if (device % 10 == 0) {
        ad.localName = "Tag " + std::to_string(device);
        ad.serviceUuids = std::vector<bluetooth::Uuid>{*bluetooth::Uuid::parse("FEAA")};
    }
    ad.rssi = rssi;
    return ad;
}

}  // namespace brelo::bench
