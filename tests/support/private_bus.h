#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"

namespace brelo::test {

// A dbus-daemon of the test's own, never the machine's system bus. Point a program at it
// with DBUS_SYSTEM_BUS_ADDRESS=address().
class PrivateBus {
public:
    // Whether dbus-daemon is installed; tests skip with a reason when it is not.
    static bool available();

    PrivateBus();  // starts the daemon and waits for its address
    ~PrivateBus();

    const std::string& address() const { return address_; }
    pid_t pid() const { return daemon_->pid(); }
    // Kills the daemon and starts a new one listening at the same address.
    void restart();

private:
    void start(const std::string& listenAddress);

    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
    std::string configPath_;
    std::string socketPath_;
};

}  // namespace brelo::test
