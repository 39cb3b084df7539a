#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loopback_server.h"
#include "support/child_process.h"
#include "support/private_bus.h"
#include "threaded_double.h"

namespace brelo::test {

using namespace std::chrono_literals;

// brelo-ble as a user runs it, with DBUS_SYSTEM_BUS_ADDRESS pointing at a private bus where
// fake-bluez owns org.bluez, uploading to a loopback HTTP server of the test.
class ProgramOnFakeBluez : public ::testing::Test {
public:
    void SetUp() override;

    // Starts brelo-ble with this node name (and these environment variables besides the bus).
    ChildProcess& startNode(const std::string& node, std::vector<std::pair<std::string, std::string>> environment = {});

    // Every upload body received so far (those of `node` only, unless empty).
    std::vector<nlohmann::json> uploads(const std::string& node = "") const;
    // Every device record in those uploads.
    std::vector<nlohmann::json> records(const std::string& node = "") const;
    // Waits until pred holds for the uploads received so far; keeps the nodes' output drained.
    bool waitForUploads(const std::function<bool(const std::vector<nlohmann::json>&)>& pred,
                        std::chrono::milliseconds timeout = 15s);
    // Waits until `node` has logged `text` at least n times.
    static bool waitForLog(ChildProcess& node, const std::string& text, size_t n = 1,
                           std::chrono::milliseconds timeout = 15s);

    // Member order is destruction order reversed: the nodes stop first, then the double,
    // then the server and the bus.
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<LoopbackServer> server_;
    std::unique_ptr<fakebluez::ThreadedDouble> fake_;
    std::vector<std::unique_ptr<ChildProcess>> nodes_;
};

// The device records named `name` in these uploads.
std::vector<nlohmann::json> recordsNamed(const std::vector<nlohmann::json>& uploads, const std::string& name);
// How many of these uploads carry this status word.
size_t countStatus(const std::vector<nlohmann::json>& uploads, const std::string& status);

}  // namespace brelo::test
