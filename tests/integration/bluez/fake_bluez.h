#pragma once

#include "support/private_bus.h"
#include "threaded_double.h"

namespace brelo::test {

// The BlueZ double on the test's private bus, running inside the test process.
struct FakeBluez : fakebluez::ThreadedDouble {
    explicit FakeBluez(const PrivateBus& bus, bool impostor = false) : ThreadedDouble(bus.address(), impostor) {}
};

}  // namespace brelo::test
