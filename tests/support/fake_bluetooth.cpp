#include "support/fake_bluetooth.h"

#include <algorithm>

namespace brelo::test {

struct FakeBluetoothPlatform::Registry {
    std::vector<FakeCentralManager*> centrals;
    std::vector<FakePeripheralManager*> peripherals;
};

namespace {

template <class T>
void forget(const std::weak_ptr<void>& weak, std::vector<T*> FakeBluetoothPlatform::Registry::*list, T* manager) {
    if (auto registry = std::static_pointer_cast<FakeBluetoothPlatform::Registry>(weak.lock()))
        std::erase((*registry).*list, manager);
}

}  // namespace

FakeCentralManager::FakeCentralManager(bluetooth::CentralManagerDelegate& delegate, std::weak_ptr<void> registry)
    : delegate_(delegate), registry_(std::move(registry)) {}

FakeCentralManager::~FakeCentralManager() { forget(registry_, &FakeBluetoothPlatform::Registry::centrals, this); }

void FakeCentralManager::scanForPeripherals(const std::optional<std::vector<bluetooth::Uuid>>& services,
                                            bool allowDuplicates) {
    scans.push_back({services, allowDuplicates});
}

void FakeCentralManager::report(bluetooth::ManagerState state) {
    state_ = state;
    delegate_.centralManagerDidUpdateState(*this);
}

void FakeCentralManager::discover(const bluetooth::Advertisement& advertisement) {
    delegate_.centralManagerDidDiscover(*this, advertisement);
}

FakePeripheralManager::FakePeripheralManager(bluetooth::PeripheralManagerDelegate& delegate,
                                             std::weak_ptr<void> registry)
    : delegate_(delegate), registry_(std::move(registry)) {}

FakePeripheralManager::~FakePeripheralManager() {
    forget(registry_, &FakeBluetoothPlatform::Registry::peripherals, this);
}

void FakePeripheralManager::report(bluetooth::ManagerState state) {
    state_ = state;
    delegate_.peripheralManagerDidUpdateState(*this);
}

FakeBluetoothPlatform::FakeBluetoothPlatform() : registry_(std::make_shared<Registry>()) {}
FakeBluetoothPlatform::~FakeBluetoothPlatform() = default;

std::unique_ptr<bluetooth::CentralManager> FakeBluetoothPlatform::makeCentralManager(
    bluetooth::CentralManagerDelegate& delegate) {
    auto manager = std::make_unique<FakeCentralManager>(delegate, registry_);
    registry_->centrals.push_back(manager.get());
    return manager;
}

std::unique_ptr<bluetooth::PeripheralManager> FakeBluetoothPlatform::makePeripheralManager(
    bluetooth::PeripheralManagerDelegate& delegate) {
    auto manager = std::make_unique<FakePeripheralManager>(delegate, registry_);
    registry_->peripherals.push_back(manager.get());
    return manager;
}

std::vector<FakeCentralManager*> FakeBluetoothPlatform::centrals() const { return registry_->centrals; }
std::vector<FakePeripheralManager*> FakeBluetoothPlatform::peripherals() const { return registry_->peripherals; }

}  // namespace brelo::test
