#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bus_values.h"
#include "runtime/handles.h"

namespace brelo::fakebluez {

class FakeAdapter;

inline constexpr const char* kAdvertisingInterface = "org.bluez.LEAdvertisingManager1";

// An adapter's org.bluez.LEAdvertisingManager1: each registration is read back from the client
// (its object manager first, then GetAll, as BlueZ's D-Bus client does) before it is answered,
// so a client blocked in a synchronous call never gets its answer. Refusals as configured.
class FakeAdvertising {
public:
    explicit FakeAdvertising(FakeAdapter& adapter);

    bool offered() const { return offered_; }
    Properties properties() const;
    int registerAdvertisement(sd_bus_message* m, sd_bus_error* error);
    int unregister(sd_bus_message* m, sd_bus_error* error);
    // Sends Release to every complete registration and forgets it; returns how many.
    size_t releaseAll();
    void forgetClient(const std::string& owner);

private:
    struct Registration {
        FakeAdvertising* manager = nullptr;
        std::string owner;  // unique bus name of the client
        std::string path;
        bool complete = false;
        runtime::MessagePtr call;  // RegisterAdvertisement, answered once read back
        runtime::SlotPtr readBack;
    };

    void readBack(Registration* reg, sd_bus_message* properties);
    void askGetAll(Registration* reg);
    void finish(Registration* reg, const char* errorName, const std::string& text);
    void remove(Registration* reg);
    size_t active() const;
    static int onManagedObjects(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onGetAll(sd_bus_message* m, void* userdata, sd_bus_error*);

    FakeAdapter& adapter_;
    const bool offered_;
    std::vector<std::unique_ptr<Registration>> registrations_;  // stable for pending read-backs
};

}  // namespace brelo::fakebluez
