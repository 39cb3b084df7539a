// The Ear's response to the radio's state: status words, their log lines and uploads, and
// the start of scanning.
#include <optional>
#include <string>
#include <vector>

#include "runtime/log_writer.h"
#include "listener/ear.h"

namespace brelo::listener {

std::string Ear::word(bluetooth::ManagerState state) {
    switch (state) {
    case bluetooth::kStateResetting:
        return "resetting";
    case bluetooth::kStateUnsupported:
        return "unsupported";
    case bluetooth::kStateUnauthorized:
        return "needs-permission";
    case bluetooth::kStatePoweredOff:
        return "bluetooth-off";
    case bluetooth::kStatePoweredOn:
        return "listening";
    default:
        return "starting";
    }
}

void Ear::centralManagerDidUpdateState(bluetooth::CentralManager& manager) {
    const auto trouble = [](bool yes) { return yes ? LogPriority::warning : LogPriority::info; };
    log("bluetooth state " + std::to_string(manager.state()), trouble(manager.state() != bluetooth::kStatePoweredOn));

    // Only `central` speaks for the node's status; `family` merely scans a subset.
    if (central && &manager == central.get()) {
        std::string before = std::move(status);
        status = word(manager.state());
        if (status != before) {
            log("status " + status, trouble(status != "listening"));
            // "listening" needs no upload of its own: the next flush or check-in carries it.
            // A stopping ear has made its last upload.
            if (status != "listening" && !stopping_)
                send({}, status);
        }
    }

    if (manager.state() == bluetooth::kStatePoweredOn && !stopping_) {
        // Duplicates on: every advertisement counts as a reading, not just the first one.
        if (family && &manager == family.get())
            manager.scanForPeripherals(std::vector<bluetooth::Uuid>{houseBrelo()});
        else
            manager.scanForPeripherals(std::nullopt);
    }
}

}  // namespace brelo::listener
