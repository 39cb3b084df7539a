#include "bluetooth/unsupported_platform.h"

namespace brelo::bluetooth {
namespace {

// The report is deferred to the loop; `alive` keeps it from reaching a manager already gone.
class UnsupportedCentral final : public CentralManager {
public:
    ManagerState state() const override { return kStateUnsupported; }
    void scanForPeripherals(const std::optional<std::vector<Uuid>>&) override {}
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

class UnsupportedPeripheral final : public PeripheralManager {
public:
    ManagerState state() const override { return kStateUnsupported; }
    void startAdvertising(const AdvertisingData&) override {}
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<CentralManager> UnsupportedPlatform::makeCentralManager(CentralManagerDelegate& delegate) {
    auto manager = std::make_unique<UnsupportedCentral>();
    defer_([weak = std::weak_ptr<bool>(manager->alive), m = manager.get(), &delegate] {
        if (weak.lock())
            delegate.centralManagerDidUpdateState(*m);
    });
    return manager;
}

std::unique_ptr<PeripheralManager> UnsupportedPlatform::makePeripheralManager(PeripheralManagerDelegate& delegate) {
    auto manager = std::make_unique<UnsupportedPeripheral>();
    defer_([weak = std::weak_ptr<bool>(manager->alive), m = manager.get(), &delegate] {
        if (weak.lock())
            delegate.peripheralManagerDidUpdateState(*m);
    });
    return manager;
}

}  // namespace brelo::bluetooth
