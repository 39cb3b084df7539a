#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "bus_values.h"
#include "fake_advertising.h"
#include "fake_devices.h"
#include "fake_discovery.h"
#include "runtime/event_loop.h"

namespace brelo::fakebluez {

inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";

// How RegisterAdvertisement answers when told to refuse.
enum class AdvertisingRefusal { None, Failed, NotPermitted };

// What the adapters share: the connection that owns org.bluez, the journal and the switches.
struct Env {
    runtime::EventLoop* loop = nullptr;
    sd_bus* bus = nullptr;
    std::function<void(const std::string&)> say;
    bool impostor = false;  // no discovery gate: signals go out whatever clients did
    AdvertisingRefusal refusal = AdvertisingRefusal::None;
    // The kernel's duplicate filter: set, each discovery scan lasts this long and reports a
    // device once.
    std::optional<double> duplicateScanS;
};

struct AdapterConfig {
    std::string name;  // hci0
    std::string address;
    bool powered = true;
    bool advertisingManager = true;
};

// One org.bluez.Adapter1 object (/org/bluez/hciN) with its devices (FakeDevices), its
// discovery (FakeDiscovery) and, unless configured without, org.bluez.LEAdvertisingManager1
// (FakeAdvertising).
class FakeAdapter {
public:
    FakeAdapter(Env& env, AdapterConfig config);  // announces the adapter

    const AdapterConfig& config() const { return config_; }
    const std::string& path() const { return path_; }
    Env& env() const { return env_; }
    void say(const std::string& text) const { env_.say(text); }
    FakeDevices& devices() { return devices_; }
    FakeDiscovery& discovery() { return discovery_; }
    FakeAdvertising& advertising() { return advertising_; }

    // GetManagedObjects: the adapter and its devices, by path.
    void listObjects(std::map<std::string, Interfaces>& out) const;
    // One interface of one of its objects; nothing when there is no such object or interface.
    std::optional<Properties> properties(const std::string& path, const std::string& interface) const;
    // A method call on the adapter's path; 0 when it is none of the adapter's methods.
    int call(sd_bus_message* m, sd_bus_error* error);

    void setPowered(bool on, const std::string& by);
    // Unplugged: BlueZ releases the advertisements and removes the devices and the adapter.
    void announceRemoval();
    // A client left the bus: its discovery, filter and advertisements end.
    void forgetClient(const std::string& owner);

    // An advertisement heard over the air: reported only while discovering and only when a
    // client's filter lets it through, as BlueZ does.
    Delivery advert(const std::string& address, const AdvertData& data);

private:
    Interfaces interfaces() const;

    Env& env_;
    AdapterConfig config_;
    std::string path_;
    FakeDevices devices_{env_, path_};
    FakeDiscovery discovery_{*this};
    FakeAdvertising advertising_{*this};
};

}  // namespace brelo::fakebluez
