#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/private_bus.h"

namespace brelo::test {

using namespace std::chrono_literals;

// tools/fake-bluez on a private bus, driven line by line through its standard input.
class FakeBluez {
public:
    explicit FakeBluez(const PrivateBus& bus, std::vector<std::string> extraArgs = {});

    // Sends script lines and waits until the double has carried out all of them (an echo
    // marker behind them comes back). False when it did not within the timeout.
    bool run(const std::string& lines, std::chrono::milliseconds timeout = 10s);
    // Sends script lines without waiting.
    void send(const std::string& lines);

    std::optional<size_t> waitForLine(const std::string& text, std::chrono::milliseconds timeout = 10s,
                                      size_t from = 0) {
        return process_.waitForLine(text, timeout, from);
    }
    // Waits until at least n lines contain text.
    bool waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout = 10s);
    size_t countLines(const std::string& text) { return process_.poll(), process_.countLines(text); }
    const std::vector<std::string>& lines() { return process_.poll(), process_.lines(); }
    ChildProcess& process() { return process_; }

private:
    ChildProcess process_;
    int marker_ = 0;
};

}  // namespace brelo::test
