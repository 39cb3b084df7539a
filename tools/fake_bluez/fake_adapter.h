#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake_device.h"
#include "output.h"
#include "runtime/handles.h"

namespace brelo::fakebluez {

// How RegisterAdvertisement answers when told to refuse.
// WhileScanning: a Bluetooth 4.x controller (no LE extended advertising), which cannot take
// a new non-connectable advertisement while a discovery scan runs.
enum class AdvertisingRefusal { None, Failed, NotPermitted, InvalidArguments, WhileScanning };

// What the adapters share: the connection that owns org.bluez and the driver's switches.
struct BusEnv {
    sd_bus* bus = nullptr;
    Output* out = nullptr;
    bool impostor = false;  // no discovery gate: signals go out whatever clients did
    AdvertisingRefusal refusal = AdvertisingRefusal::None;
    // The kernel's duplicate filter: set, each discovery scan lasts this long and reports a
    // device once, unless a monitor was active when it started.
    std::optional<double> duplicateScanS;
    bool experimental = false;  // adapters offer AdvertisementMonitorManager1
};

struct AdapterConfig {
    std::string name;  // hci0
    std::string address;
    bool powered = true;
    bool advertisingManager = true;
};

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

class FakeAdapter;

// A client's advertisement as RegisterAdvertisement read it back.
struct Registration {
    FakeAdapter* adapter = nullptr;
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

// One org.bluez.Adapter1 object (/org/bluez/hciN) with its devices and, unless configured
// without it, org.bluez.LEAdvertisingManager1. It answers the calls BlueZ answers with
// BlueZ's errors and tells the driver what each client did.
class FakeAdapter {
public:
    enum class Delivery { Delivered, NotDiscovering, Filtered, Duplicate, Held, SendFailed };

    FakeAdapter(BusEnv& env, AdapterConfig config);  // exports and announces the adapter
    ~FakeAdapter();  // takes the objects off the bus without a signal (a dying daemon)
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    const AdapterConfig& config() const { return config_; }
    const std::string& path() const { return path_; }
    bool discovering() const { return discovering_; }

    // The adapter is unplugged: BlueZ releases the advertisements and removes the devices
    // and the adapter with InterfacesRemoved.
    void announceRemoval();

    void setPowered(bool on, const std::string& by);
    // Discovery stops without any client asking (the kernel or another tool stopped it).
    void stopDiscoveryByItself();
    // A client left the bus: its discovery, filter and advertisements end.
    void forgetClient(const std::string& owner);

    FakeDevice* findDevice(const std::string& address);
    // Throws ScriptError when it exists; false when the bus would not take the signal.
    bool addDevice(const std::string& address, const AdvertData& data);
    void removeDevice(const std::string& address);
    // An advertisement heard over the air: reported only while discovering and only when a
    // client's filter lets it through, as BlueZ does.
    // Held: sent in the moment between a client's StopDiscovery and its StartDiscovery (a
    // restart); delivered at the start, and then reported with label unless it is empty.
    Delivery advert(const std::string& address, const AdvertData& data, const std::string& label = "");

    // The advertising manager published late, as bluetoothd may do after a restart.
    void addAdvertisingManager();

    // Sends Release to every complete registration and forgets it; returns how many.
    size_t releaseRegistrations();

private:
    struct DiscoveryClient {
        std::optional<DiscoveryFilter> filter;
        bool discovering = false;
    };

    // A client's advertisement monitor application (RegisterMonitor).
    struct MonitorApp {
        FakeAdapter* adapter = nullptr;
        std::string owner;
        std::string root;
        bool active = false;
        runtime::SlotPtr readBack;
    };

    void say(const std::string& text) const;
    void exportAdvertisingManager();
    void exportMonitorManager();
    bool duplicate(const std::string& address);
    bool monitorActive() const;
    void onMonitorObjects(MonitorApp* app, sd_bus_message* reply);
    void endDiscovery(const char* reason);  // drops every session; Discovering false
    void setDiscovering(bool on, bool alsoPowered);
    bool filterAccepts(const AdvertData& data) const;
    std::string kernelFilter() const;
    void emitManagerCounts();
    void removeRegistration(Registration* reg);
    void finishRegistration(Registration* reg, const char* errorName, const std::string& errorText);
    void readBackWithGetAll(Registration* reg);
    void onReadBack(Registration* reg, sd_bus_message* reply, bool fromObjectManager);

    static int onStartDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onStopDiscovery(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onSetDiscoveryFilter(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onGetDiscoveryFilters(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onRemoveDevice(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onRegisterAdvertisement(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onUnregisterAdvertisement(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onManagedObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onGetAllReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                           void* userdata, sd_bus_error*);
    static int setPoweredProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                                  void* userdata, sd_bus_error* error);
    static int onRegisterMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onUnregisterMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onMonitorObjectsReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getMonitorProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                                  void* userdata, sd_bus_error*);
    static int getManagerProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                                  void* userdata, sd_bus_error*);

    static const sd_bus_vtable adapterVtable_[];
    static const sd_bus_vtable advertisingVtable_[];
    static const sd_bus_vtable monitorVtable_[];

    BusEnv& env_;
    AdapterConfig config_;
    std::string path_;
    bool discovering_ = false;
    std::map<std::string, DiscoveryClient> clients_;
    // Owned through unique_ptr so pending read-backs can hold a stable pointer.
    std::vector<std::unique_ptr<Registration>> registrations_;
    std::map<std::string, std::unique_ptr<FakeDevice>> devices_;  // by address
    std::vector<std::unique_ptr<MonitorApp>> monitors_;
    // The current scan of the duplicate filter: when it began, and whom it reported.
    double scanStartS_ = 0;
    bool scanUnfiltered_ = false;
    std::set<std::string> reportedThisScan_;
    // A client restarting discovery: adverts until then wait for its StartDiscovery, so
    // that a test's single advert is not lost in the gap (a real device would repeat it).
    struct Held {
        std::string address;
        AdvertData data;
        std::string label;
    };
    double restartingUntilS_ = 0;
    std::vector<Held> held_;
    void deliverHeld();
    // Slots last: they go first, so no callback can reach a half-destroyed adapter.
    runtime::SlotPtr adapterSlot_;
    runtime::SlotPtr advertisingSlot_;
    runtime::SlotPtr monitorSlot_;
};

}  // namespace brelo::fakebluez
