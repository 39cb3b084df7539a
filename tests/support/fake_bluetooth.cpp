#include "support/fake_bluetooth.h"

#include <algorithm>

namespace brelo::test {

FakeCentralManager::FakeCentralManager(bluetooth::CentralManagerDelegate& delegate,
                                       std::vector<FakeCentralManager*>& alive)
    : delegate_(delegate), alive_(alive) {
    alive_.push_back(this);
}

FakeCentralManager::~FakeCentralManager() { std::erase(alive_, this); }

void FakeCentralManager::report(bluetooth::ManagerState state) {
    state_ = state;
    delegate_.centralManagerDidUpdateState(*this);
}

FakePeripheralManager::FakePeripheralManager(bluetooth::PeripheralManagerDelegate& delegate,
                                             std::vector<FakePeripheralManager*>& alive)
    : delegate_(delegate), alive_(alive) {
    alive_.push_back(this);
}

FakePeripheralManager::~FakePeripheralManager() { std::erase(alive_, this); }

void FakePeripheralManager::report(bluetooth::ManagerState state) {
    state_ = state;
    delegate_.peripheralManagerDidUpdateState(*this);
}

}  // namespace brelo::test
