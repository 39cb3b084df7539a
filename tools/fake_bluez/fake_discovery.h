#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "fake_device.h"
#include "runtime/handles.h"

namespace brelo::fakebluez {

class FakeAdapter;

// What became of one advertisement heard over the air.
// Held: sent in the moment between a client's StopDiscovery and its StartDiscovery (a
// restart); delivered at the start, and then reported with its label unless that is empty.
enum class Delivery { Delivered, NotDiscovering, Filtered, Duplicate, Held, SendFailed };

// A client's discovery filter as SetDiscoveryFilter left it (BlueZ's parse rules).
struct DiscoveryFilter {
    std::vector<std::string> uuids;  // 128-bit lower case
    std::optional<int16_t> rssi;
    std::optional<uint16_t> pathloss;
    std::string transport = "auto";
    bool duplicateData = false;
    bool discoverable = false;
    std::optional<std::string> pattern;
};

// Reads SetDiscoveryFilter's a{sv} into filter with BlueZ's rules; shown gets the keys and
// values as the journal line shows them, problem why BlueZ would refuse it (InvalidArguments),
// empty whether the dictionary was. Negative errno for a broken message.
int readDiscoveryFilter(sd_bus_message* m, DiscoveryFilter& filter, std::string& shown, std::string& problem,
                        bool& empty);

// An adapter's discovery: the clients' sessions and filters (StartDiscovery, StopDiscovery,
// SetDiscoveryFilter, GetDiscoveryFilters on its org.bluez.Adapter1), Discovering, and the
// kernel's scans with their duplicate filter.
class FakeDiscovery {
public:
    explicit FakeDiscovery(FakeAdapter& adapter);  // exports the discovery methods

    bool discovering() const { return discovering_; }
    // Discovery stops without any client asking (the kernel or another tool stopped it).
    void stopByItself();
    // The adapter powered off: every session ends and every filter is forgotten; Powered
    // and Discovering change in one PropertiesChanged.
    void poweredOff();
    void forgetClient(const std::string& owner);
    // Whether an advertisement is reported now; nothing when it is.
    std::optional<Delivery> gate(const std::string& address, const AdvertData& data, const std::string& label);

private:
    struct Client {
        std::optional<DiscoveryFilter> filter;
        bool discovering = false;
    };
    // A client restarting discovery: adverts until then wait for its StartDiscovery, so
    // that a test's single advert is not lost in the gap (a real device would repeat it).
    struct Held {
        std::string address;
        AdvertData data;
        std::string label;
    };

    void setDiscovering(bool on, bool alsoPowered);
    void endDiscovery(const char* reason);  // drops every session; Discovering false
    void newScan();
    void deliverHeld();
    bool duplicate(const std::string& address);
    bool filterAccepts(const AdvertData& data) const;
    std::string kernelFilter() const;
    static int onStart(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onStop(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onSetFilter(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onGetFilters(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static const sd_bus_vtable vtable_[];

    FakeAdapter& adapter_;
    bool discovering_ = false;
    std::map<std::string, Client> clients_;  // by unique bus name
    // The current scan of the duplicate filter: when it began, and whom it reported.
    double scanStartS_ = 0;
    bool scanUnfiltered_ = false;
    std::set<std::string> reportedThisScan_;
    double restartingUntilS_ = 0;
    std::vector<Held> held_;
    runtime::SlotPtr slot_;
};

}  // namespace brelo::fakebluez
