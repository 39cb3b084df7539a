#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "bluetooth/platform.h"

namespace brelo::test {

// Managers that report what the test tells them to and record every request made of them.
// Like the real platform, nothing is reported unless asked: the test calls report() to
// deliver a state and discover() to deliver an advertisement. The platform must outlive
// the managers it made.

class FakeCentralManager final : public bluetooth::CentralManager {
public:
    struct ScanRequest {
        std::optional<std::vector<bluetooth::Uuid>> services;
    };

    FakeCentralManager(bluetooth::CentralManagerDelegate& delegate, std::vector<FakeCentralManager*>& alive);
    ~FakeCentralManager() override;

    bluetooth::ManagerState state() const override { return state_; }
    void scanForPeripherals(const std::optional<std::vector<bluetooth::Uuid>>& services) override {
        scans.push_back({services});
    }

    // Takes the state and reports it to the delegate.
    void report(bluetooth::ManagerState state);
    void discover(const bluetooth::Advertisement& a) { delegate_.centralManagerDidDiscover(*this, a); }

    std::vector<ScanRequest> scans;

private:
    bluetooth::CentralManagerDelegate& delegate_;
    std::vector<FakeCentralManager*>& alive_;
    bluetooth::ManagerState state_ = bluetooth::ManagerState::unknown;
};

class FakePeripheralManager final : public bluetooth::PeripheralManager {
public:
    FakePeripheralManager(bluetooth::PeripheralManagerDelegate& delegate, std::vector<FakePeripheralManager*>& alive);
    ~FakePeripheralManager() override;

    bluetooth::ManagerState state() const override { return state_; }
    void startAdvertising(const bluetooth::AdvertisingData& data) override { advertised.push_back(data); }

    void report(bluetooth::ManagerState state);

    std::vector<bluetooth::AdvertisingData> advertised;

private:
    bluetooth::PeripheralManagerDelegate& delegate_;
    std::vector<FakePeripheralManager*>& alive_;
    bluetooth::ManagerState state_ = bluetooth::ManagerState::unknown;
};

class FakeBluetoothPlatform final : public bluetooth::BluetoothPlatform {
public:
    std::unique_ptr<bluetooth::CentralManager> makeCentralManager(bluetooth::CentralManagerDelegate& d) override {
        return std::make_unique<FakeCentralManager>(d, centrals_);
    }
    std::unique_ptr<bluetooth::PeripheralManager> makePeripheralManager(
        bluetooth::PeripheralManagerDelegate& delegate) override {
        return std::make_unique<FakePeripheralManager>(delegate, peripherals_);
    }
    bluetooth::Authorization authorization() const override { return authorization_; }

    void setAuthorization(bluetooth::Authorization value) { authorization_ = value; }
    void reportWindowBegan() override { ++windowsBegun; }

    size_t windowsBegun = 0;

    // The managers made so far and still alive, in order of creation.
    const std::vector<FakeCentralManager*>& centrals() const { return centrals_; }
    const std::vector<FakePeripheralManager*>& peripherals() const { return peripherals_; }

private:
    std::vector<FakeCentralManager*> centrals_;
    std::vector<FakePeripheralManager*> peripherals_;
    bluetooth::Authorization authorization_ = bluetooth::Authorization::allowedAlways;
};

}  // namespace brelo::test
