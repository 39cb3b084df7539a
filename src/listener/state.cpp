// The Ear's response to the radio's state: status words, their log lines and uploads, and
// the start of scanning.
#include <optional>
#include <string>
#include <vector>

#include "runtime/log_writer.h"
#include "bluetooth/brelo_ids.h"
#include "listener/ear.h"

namespace brelo::listener {

std::string Ear::word(bluetooth::ManagerState state) {
    using enum bluetooth::ManagerState;
    switch (state) {
    case resetting:
        return "resetting";
    case unsupported:
        return "unsupported";
    case unauthorized:
        return "needs-permission";
    case poweredOff:
        return "bluetooth-off";
    case poweredOn:
        return "listening";
    default:
        return "starting";
    }
}

void Ear::centralManagerDidUpdateState(bluetooth::CentralManager& manager) {
    const auto trouble = [](bool yes) { return yes ? LogPriority::warning : LogPriority::info; };
    log("bluetooth state " + std::to_string(static_cast<int>(manager.state())),
        trouble(manager.state() != bluetooth::ManagerState::poweredOn));

    // Only `central` speaks for the node's status; `family` merely scans a subset.
    if (central_ && &manager == central_.get()) {
        std::string before = std::move(status_);
        status_ = word(manager.state());
        if (status_ != before) {
            log("status " + status_, trouble(status_ != "listening"));
            // "listening" needs no upload of its own: the next flush or check-in carries it.
            // A stopping ear has made its last upload.
            if (status_ != "listening" && !stopping_)
                uploader_.send({}, status_);
        }
    }

    if (manager.state() == bluetooth::ManagerState::poweredOn && !stopping_) {
        // Duplicates on: every advertisement counts as a reading, not just the first one.
        if (family_ && &manager == family_.get())
            manager.scanForPeripherals(std::vector<bluetooth::Uuid>{bluetooth::houseBreloService()});
        else
            manager.scanForPeripherals(std::nullopt);
    }
}

}  // namespace brelo::listener
