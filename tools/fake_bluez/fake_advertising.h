#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "runtime/handles.h"

namespace brelo::fakebluez {

class FakeAdapter;
class FakeAdvertising;

// A client's advertisement as RegisterAdvertisement read it back.
struct Registration {
    FakeAdvertising* manager = nullptr;
    std::string owner;  // unique bus name of the client
    std::string path;
    bool complete = false;  // false while the read-back is under way
    runtime::MessagePtr call;  // the RegisterAdvertisement call, answered when complete
    runtime::SlotPtr readBack;
    std::string type = "broadcast";
    std::optional<std::string> localName;
    std::vector<std::string> serviceUuids;  // as the client wrote them
    std::map<uint16_t, std::vector<uint8_t>> manufacturerData;
};

// An adapter's org.bluez.LEAdvertisingManager1: registrations read back from the client
// (its object manager first, then GetAll) before they are answered, refusals as configured.
class FakeAdvertising {
public:
    explicit FakeAdvertising(FakeAdapter& adapter);  // exports it unless configured without

    // The advertising manager published late, as bluetoothd may do after a restart.
    void addLate();
    // Sends Release to every complete registration and forgets it; returns how many.
    size_t releaseAll();
    void forgetClient(const std::string& owner);
    // Whether the adapter offers LEAdvertisingManager1 now (from the start or added late).
    bool offered() const { return slot_ != nullptr; }

private:
    void exportManager();
    void emitCounts();
    void remove(Registration* reg);
    void finish(Registration* reg, const char* errorName, const std::string& errorText);
    void onReadBack(Registration* reg, sd_bus_message* reply);
    void readBackWithGetAll(Registration* reg);
    static int onManagedObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onGetAllReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onUnregister(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                           void* userdata, sd_bus_error*);
    static const sd_bus_vtable vtable_[];

    FakeAdapter& adapter_;
    // Owned through unique_ptr so pending read-backs can hold a stable pointer.
    std::vector<std::unique_ptr<Registration>> registrations_;
    runtime::SlotPtr slot_;
};

}  // namespace brelo::fakebluez
