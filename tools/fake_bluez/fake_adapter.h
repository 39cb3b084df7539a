#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "fake_advertising.h"
#include "fake_device.h"
#include "fake_discovery.h"
#include "fake_monitors.h"
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

// One org.bluez.Adapter1 object (/org/bluez/hciN) with its devices, its discovery sessions,
// and (unless configured without them) org.bluez.LEAdvertisingManager1 and, in experimental
// mode, org.bluez.AdvertisementMonitorManager1. It answers the calls BlueZ answers with
// BlueZ's errors and tells the driver what each client did.
class FakeAdapter {
public:
    FakeAdapter(BusEnv& env, AdapterConfig config);  // exports and announces the adapter
    ~FakeAdapter();  // takes the objects off the bus without a signal (a dying daemon)
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    const AdapterConfig& config() const { return config_; }
    const std::string& path() const { return path_; }
    BusEnv& env() const { return env_; }
    void say(const std::string& text) const { env_.out->line(text); }
    FakeDiscovery& discovery() { return discovery_; }
    FakeAdvertising& advertising() { return advertising_; }
    FakeMonitors& monitors() { return monitors_; }

    void setPowered(bool on, const std::string& by);
    // The adapter is unplugged: BlueZ releases the advertisements and removes the devices
    // and the adapter with InterfacesRemoved.
    void announceRemoval();
    // A client left the bus: its discovery, filter, monitors and advertisements end.
    void forgetClient(const std::string& owner);

    FakeDevice* findDevice(const std::string& address);
    // Throws ScriptError when it exists; false when the bus would not take the signal.
    bool addDevice(const std::string& address, const AdvertData& data);
    void removeDevice(const std::string& address);
    // Discovery ended: every device drops its RSSI and TxPower.
    void invalidateSignals();
    // An advertisement heard over the air: reported only while discovering and only when a
    // client's filter lets it through, as BlueZ does (see FakeDiscovery::gate).
    Delivery advert(const std::string& address, const AdvertData& data, const std::string& label = "");

private:
    static int onRemoveDevice(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                           void* userdata, sd_bus_error*);
    static int setPoweredProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                                  void* userdata, sd_bus_error* error);
    static const sd_bus_vtable adapterVtable_[];

    BusEnv& env_;
    AdapterConfig config_;
    std::string path_;
    std::map<std::string, std::unique_ptr<FakeDevice>> devices_;  // by address
    runtime::SlotPtr adapterSlot_;
    // The parts after the adapter's own object: they export theirs on the same path.
    FakeDiscovery discovery_{*this};
    FakeAdvertising advertising_{*this};
    FakeMonitors monitors_{*this};
};

}  // namespace brelo::fakebluez
