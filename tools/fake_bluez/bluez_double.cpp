#include "bluez_double.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <system_error>

#include "direct_messages.h"

namespace brelo::fakebluez {
namespace {

constexpr const char* kBluezName = "org.bluez";

std::string senderOf(sd_bus_message* m) {
    const char* s = sd_bus_message_get_sender(m);
    return s ? s : "(unknown)";
}

bool validAdapterName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_';
    });
}

std::string defaultAdapterAddress(size_t index) {
    char text[18];
    std::snprintf(text, sizeof text, "00:1A:7D:DA:71:%02X", static_cast<unsigned>(index & 0xff));
    return text;
}

}  // namespace

BluezDouble::BluezDouble(runtime::EventLoop& loop, Output& out, Options options)
    : loop_(loop), out_(out), options_(std::move(options)) {
    env_.out = &out_;
    env_.impostor = options_.impostor;
}

BluezDouble::~BluezDouble() {
    // Objects and slots first, then the connection (see the member order).
    drifts_.clear();
    flood_.reset();
    adapters_.clear();
}

void BluezDouble::start(std::function<void()> onReady) {
    onReady_ = std::move(onReady);
    connect();
    if (options_.impostor) {
        loop_.defer([this] { becomeReady(); });
        return;
    }
    requestName();
}

void BluezDouble::connect() {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_new");
    runtime::BusPtr bus{raw};
    if ((r = sd_bus_set_address(raw, options_.busAddress.c_str())) < 0 || (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_set_exit_on_disconnect(raw, 1)) < 0 || (r = sd_bus_start(raw)) < 0)
        throw std::system_error(-r, std::generic_category(), "cannot connect to the bus at " + options_.busAddress);
    if ((r = sd_bus_attach_event(raw, loop_.get(), SD_EVENT_PRIORITY_NORMAL)) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_attach_event");

    sd_bus_slot* slot = nullptr;
    if ((r = sd_bus_add_object_manager(raw, &slot, "/")) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_object_manager");
    objectManager_.reset(slot);
    if ((r = sd_bus_add_filter(raw, &slot, &BluezDouble::onIncoming, this)) < 0)
        throw std::system_error(-r, std::generic_category(), "sd_bus_add_filter");
    incomingFilter_.reset(slot);
    // A client's discovery and advertisements end when its connection goes away.
    if ((r = sd_bus_match_signal_async(raw, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameOwnerChanged", &BluezDouble::onNameOwnerChanged,
                                       nullptr, this)) < 0)
        throw std::system_error(-r, std::generic_category(), "watching NameOwnerChanged");
    ownerWatch_.reset(slot);
    bus_ = std::move(bus);
    env_.bus = raw;
}

void BluezDouble::requestName() {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_request_name_async(bus_.get(), &slot, kBluezName, 0, &BluezDouble::onNameReply, this);
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), "requesting org.bluez");
    nameRequest_.reset(slot);
}

int BluezDouble::onNameReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    try {
        uint32_t result = 0;
        if (sd_bus_message_is_method_error(m, nullptr)) {
            const sd_bus_error* e = sd_bus_message_get_error(m);
            Output::complain(std::string("cannot own org.bluez: ") + (e && e->message ? e->message : "error"));
            self->loop_.exit(1);
            return 0;
        }
        // 1: primary owner, 4: already the owner. 3 means someone else has it.
        if (sd_bus_message_read(m, "u", &result) < 0 || (result != 1 && result != 4)) {
            Output::complain("cannot own org.bluez: another connection owns it");
            self->loop_.exit(1);
            return 0;
        }
        self->becomeReady();
    } catch (const std::exception& e) {
        Output::complain(std::string("becoming ready failed: ") + e.what());
        self->loop_.exit(1);
    }
    return 0;
}

void BluezDouble::becomeReady() {
    // bluetoothd takes its name first and publishes its adapters a moment later.
    if (comeBack_.empty() || publishS_ <= 0) {
        comeBack();
        return;
    }
    publishTimer_ = loop_.after(publishS_, [this] { loop_.defer([this] { publishTimer_.reset(), comeBack(); }); });
}

int BluezDouble::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    try {
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0)
            return 0;
        if (name[0] == ':' && newOwner[0] == '\0')
            for (auto& [adapterName, adapter] : self->adapters_)
                adapter->forgetClient(name);
    } catch (...) {
    }
    return 0;
}

int BluezDouble::onIncoming(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BluezDouble*>(userdata);
    uint8_t type = 0;
    if (!self->deny_ || sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL)
        return 0;
    try {
        const char* iface = sd_bus_message_get_interface(m);
        const char* member = sd_bus_message_get_member(m);
        const char* path = sd_bus_message_get_path(m);
        self->say("denied " + senderOf(m) + " " + (iface ? iface : "") + "." + (member ? member : "") + " " +
                  (path ? path : ""));
        // What dbus-daemon answers when its policy keeps a client away from org.bluez.
        sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.AccessDenied",
                                   "Rejected send message: the bus policy does not let %s talk to org.bluez",
                                   senderOf(m).c_str());
    } catch (...) {
    }
    return 1;
}

FakeAdapter& BluezDouble::adapterNamed(const std::string& name) {
    auto it = adapters_.find(name);
    if (it == adapters_.end())
        throw ScriptError("no adapter " + name);
    return *it->second;
}

FakeAdapter& BluezDouble::adapterFor(const std::string& address) {
    for (auto& [name, adapter] : adapters_)
        if (adapter->findDevice(address))
            return *adapter;
    if (adapters_.empty())
        throw ScriptError("no adapter: add one first (adapter add hci0)");
    return *adapters_.begin()->second;
}

AdvertData BluezDouble::advertData(const ScriptLine& line) const {
    AdvertData data;
    if (auto v = line.option("rssi"))
        data.rssi = parseInt16("rssi", *v, -127, 20);
    if (auto v = line.option("name"))
        data.name = *v;
    if (auto v = line.option("tx"))
        data.txPower = parseInt16("tx", *v, -127, 127);
    if (auto v = line.option("uuids"))
        data.uuids = parseUuids(*v);
    if (auto v = line.option("mfg"))
        data.manufacturerData = parseManufacturerData(*v);
    return data;
}

FakeAdapter::Delivery BluezDouble::sendAdvert(const std::string& adapterName, const std::string& address,
                                              const AdvertData& data, bool quiet, const std::string& label) {
    FakeAdapter& adapter = adapterName.empty() ? adapterFor(address) : adapterNamed(adapterName);
    auto delivery = adapter.advert(address, data, quiet ? "" : label);
    if (!quiet) {
        std::string where = address + " adapter=" + adapter.config().name;
        switch (delivery) {
            case FakeAdapter::Delivery::Delivered:
                say(label + " " + where);
                break;
            case FakeAdapter::Delivery::NotDiscovering:
                say(label + " dropped " + where + " (not discovering)");
                break;
            case FakeAdapter::Delivery::Filtered:
                say(label + " dropped " + where + " (discovery filter)");
                break;
            case FakeAdapter::Delivery::Duplicate:
                say(label + " dropped " + where + " (duplicate)");
                break;
            case FakeAdapter::Delivery::Held:
                break;  // reported when discovery starts again
            case FakeAdapter::Delivery::SendFailed:
                say(label + " failed " + where + " (the bus would not take the signal)");
                break;
        }
    }
    return delivery;
}

Outcome BluezDouble::execute(const ScriptLine& line, bool quiet) {
    const std::string& command = line.word(0);
    if (command == "adapter")
        return adapterCommand(line);
    if (command == "device")
        return deviceCommand(line);
    if (command == "advert")
        return advertCommand(line, quiet);
    if (command == "power") {
        line.expectWords(3, 3, "power hciN on|off");
        line.allowOptions({});
        adapterNamed(line.word(1)).setPowered(parseOnOff("power", line.word(2)), "");
        return {};
    }
    if (command == "stop-discovery") {
        line.expectWords(2, 2, "stop-discovery hciN");
        line.allowOptions({});
        adapterNamed(line.word(1)).stopDiscoveryByItself();
        return {};
    }
    if (command == "deny") {
        line.expectWords(2, 2, "deny on|off");
        line.allowOptions({});
        deny_ = parseOnOff("deny", line.word(1));
        say(std::string("deny ") + (deny_ ? "on" : "off"));
        return {};
    }
    if (command == "adv")
        return advCommand(line);
    if (command == "relay-beacon")
        return relayCommand(line, quiet);
    if (command == "flood")
        return floodCommand(line);
    if (command == "drift")
        return driftCommand(line);
    if (command == "every")
        return everyCommand(line);
    if (command == "restart")
        return restart(line);
    if (command == "dupfilter" || command == "experimental")
        return modeCommand(line);
    if (command == "sleep") {
        line.expectWords(2, 2, "sleep SECONDS");
        line.allowOptions({});
        return {Outcome::Next::Sleep, parseSeconds("sleep", line.word(1))};
    }
    if (command == "echo") {
        say(line.rest(1));
        return {};
    }
    if (auto outcome = directCommand(env_.bus, out_, line))
        return *outcome;
    if (command == "quit") {
        line.expectWords(1, 1, "quit");
        return {Outcome::Next::Quit, 0};
    }
    throw ScriptError("unknown command '" + command + "'");
}

Outcome BluezDouble::adapterCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "add") {
        line.expectWords(3, 5, "adapter add hciN [noadv] [off] [address=AA:BB:CC:DD:EE:FF]");
        line.allowOptions({"address"});
        AdapterConfig config;
        config.name = line.word(2);
        if (!validAdapterName(config.name))
            throw ScriptError("'" + config.name + "' is not an adapter name (letters, digits, _)");
        if (adapters_.count(config.name))
            throw ScriptError("adapter " + config.name + " already exists");
        for (size_t i = 3; i < line.words.size(); ++i) {
            if (line.words[i] == "noadv")
                config.advertisingManager = false;
            else if (line.words[i] == "off")
                config.powered = false;
            else if (line.words[i] == "on")
                config.powered = true;
            else
                throw ScriptError("unknown adapter flag '" + line.words[i] + "' (noadv, on, off)");
        }
        auto address = line.option("address");
        config.address = address ? parseAddress(*address) : defaultAdapterAddress(adapters_.size());
        adapters_.emplace(config.name, std::make_unique<FakeAdapter>(env_, config));
        say("adapter added " + config.name + (config.powered ? " on" : " off") +
            (config.advertisingManager ? "" : " noadv"));
        return {};
    }
    if (verb == "remove") {
        line.expectWords(3, 3, "adapter remove hciN");
        line.allowOptions({});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        adapter.announceRemoval();
        std::string name = adapter.config().name;
        adapters_.erase(name);
        say("adapter removed " + name);
        return {};
    }
    throw ScriptError("usage: adapter add|remove hciN ...");
}

Outcome BluezDouble::deviceCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "add") {
        line.expectWords(4, 4, "device add hciN AA:BB:CC:DD:EE:FF [name=] [rssi=] [tx=] [uuids=] [mfg=]");
        line.allowOptions({"name", "rssi", "tx", "uuids", "mfg"});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        std::string address = parseAddress(line.word(3));
        adapter.addDevice(address, advertData(line));
        say("device added " + address + " adapter=" + adapter.config().name);
        return {};
    }
    if (verb == "remove") {
        line.expectWords(4, 4, "device remove hciN AA:BB:CC:DD:EE:FF");
        line.allowOptions({});
        FakeAdapter& adapter = adapterNamed(line.word(2));
        std::string address = parseAddress(line.word(3));
        drifts_.erase(address);
        adapter.removeDevice(address);
        say("device removed " + address + " adapter=" + adapter.config().name);
        return {};
    }
    throw ScriptError("usage: device add|remove hciN AA:BB:CC:DD:EE:FF ...");
}

Outcome BluezDouble::advertCommand(const ScriptLine& line, bool quiet) {
    line.expectWords(2, 3, "advert [hciN] AA:BB:CC:DD:EE:FF rssi=N [name=] [tx=] [uuids=] [mfg=]");
    line.allowOptions({"name", "rssi", "tx", "uuids", "mfg"});
    std::string adapterName = line.words.size() == 3 ? line.word(1) : "";
    std::string address = parseAddress(line.words.back());
    AdvertData data = advertData(line);
    if (!data.rssi)
        throw ScriptError("an advert needs rssi=N");
    sendAdvert(adapterName, address, data, quiet, "advert");
    return {};
}

Outcome BluezDouble::advCommand(const ScriptLine& line) {
    const std::string& verb = line.word(1);
    if (verb == "refuse") {
        line.expectWords(3, 3, "adv refuse failed|scanning|notpermitted|invalid|off");
        line.allowOptions({});
        const std::string& how = line.word(2);
        if (how == "failed")
            env_.refusal = AdvertisingRefusal::Failed;
        else if (how == "scanning")
            env_.refusal = AdvertisingRefusal::WhileScanning;
        else if (how == "notpermitted")
            env_.refusal = AdvertisingRefusal::NotPermitted;
        else if (how == "invalid")
            env_.refusal = AdvertisingRefusal::InvalidArguments;
        else if (how == "off")
            env_.refusal = AdvertisingRefusal::None;
        else
            throw ScriptError("adv refuse takes failed, scanning, notpermitted, invalid or off");
        say("adv refuse " + how);
        return {};
    }
    if (verb == "release") {
        line.expectWords(2, 3, "adv release [hciN]");
        line.allowOptions({});
        size_t released = 0;
        if (line.words.size() == 3)
            released = adapterNamed(line.word(2)).releaseRegistrations();
        else
            for (auto& [name, adapter] : adapters_)
                released += adapter->releaseRegistrations();
        if (released == 0)
            say("release: nothing registered");
        return {};
    }
    throw ScriptError("usage: adv refuse ... | adv release [hciN]");
}

Outcome BluezDouble::relayCommand(const ScriptLine& line, bool quiet) {
    line.expectWords(3, 3, "relay-beacon hciN AA:BB:CC:DD:EE:FF [name=LOCALNAME] [rssi=N]");
    line.allowOptions({"name", "rssi"});
    FakeAdapter& adapter = adapterNamed(line.word(1));
    std::string address = parseAddress(line.word(2));
    auto wanted = line.option("name");
    const Registration* reg = adapter.findRegistration(wanted);
    if (!reg)
        throw ScriptError("no advertisement registered on " + adapter.config().name +
                          (wanted ? " with LocalName " + *wanted : ""));
    AdvertData data;
    data.rssi = parseInt16("rssi", line.option("rssi").value_or("-60"), -127, 20);
    data.name = reg->localName;
    for (auto& uuid : reg->serviceUuids)
        if (auto full = fullUuid(uuid))
            data.uuids.push_back(*full);
    data.manufacturerData = reg->manufacturerData;
    sendAdvert(adapter.config().name, address, data, quiet,
               "relayed " + reg->localName.value_or("(no name)") + " as");
    return {};
}

Outcome BluezDouble::floodCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "stop") {
        if (flood_ && !flood_->finished())
            say("flood sent " + std::to_string(flood_->sent()) +
                (flood_->dropped() ? " dropped " + std::to_string(flood_->dropped()) : ""));
        flood_.reset();
        return {};
    }
    line.expectWords(3, 4, "flood RATE DEVICES [SECONDSs|COUNT] [adapter=hciN] | flood stop");
    line.allowOptions({"adapter"});
    int64_t rate = parseCount("flood rate", line.word(1));
    int64_t devices = parseCount("flood devices", line.word(2));
    if (devices > 0xFFFFFF)
        throw ScriptError("at most 16777215 flood devices");
    std::optional<double> seconds;
    std::optional<int64_t> count;
    if (line.words.size() == 4) {
        const std::string& limit = line.word(3);
        if (!limit.empty() && limit.back() == 's')
            seconds = parseSeconds("flood duration", limit);
        else
            count = parseCount("flood count", limit);
    }
    std::string adapterName = line.option("adapter").value_or("");
    if (adapterName.empty()) {
        if (adapters_.empty())
            throw ScriptError("no adapter: add one first (adapter add hci0)");
        adapterName = adapters_.begin()->first;
    }
    adapterNamed(adapterName);
    flood_.reset();
    flood_ = std::make_unique<Flood>(
        loop_, rate, devices, seconds, count,
        [this, adapterName](const std::string& address, const AdvertData& data) {
            auto it = adapters_.find(adapterName);
            if (it == adapters_.end())
                return false;
            // Held ones go out when the client's restart of discovery completes.
            auto delivery = it->second->advert(address, data);
            return delivery == FakeAdapter::Delivery::Delivered || delivery == FakeAdapter::Delivery::Held;
        },
        [this](uint64_t sent, uint64_t dropped) {
            say("flood sent " + std::to_string(sent) + (dropped ? " dropped " + std::to_string(dropped) : ""));
        },
        [this]() -> uint64_t {
            uint64_t queued = 0;
            if (env_.bus)
                sd_bus_get_n_queued_write(env_.bus, &queued);
            return queued;
        });
    say("flood started rate=" + std::to_string(rate) + " devices=" + std::to_string(devices) +
        " adapter=" + adapterName);
    return {};
}

Outcome BluezDouble::driftCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "off") {
        drifts_.clear();
        say("drift off");
        return {};
    }
    line.expectWords(2, 2, "drift AA:BB:CC:DD:EE:FF [every=SECONDS] [min=N] [max=N] | drift off");
    line.allowOptions({"every", "min", "max"});
    std::string address = parseAddress(line.word(1));
    double every = parseSeconds("every", line.option("every").value_or("0.5"));
    if (every < 0.01)
        throw ScriptError("drift every must be at least 0.01 s");
    int low = parseInt16("min", line.option("min").value_or("-90"), -127, 20);
    int high = parseInt16("max", line.option("max").value_or("-40"), -127, 20);
    if (low > high)
        throw ScriptError("drift min is above max");
    adapterFor(address);  // fails now rather than on every tick when there is no adapter
    auto rng = std::make_shared<std::minstd_rand>(static_cast<unsigned>(std::hash<std::string>{}(address)));
    auto rssi = std::make_shared<int>((low + high) / 2);
    // A random walk, so a device seems to move about the room.
    drifts_[address] = loop_.repeating(every, [this, address, low, high, rng, rssi] {
        std::uniform_int_distribution<int> step(-3, 3);
        *rssi = std::clamp(*rssi + step(*rng), low, high);
        AdvertData data;
        data.rssi = static_cast<int16_t>(*rssi);
        try {
            sendAdvert("", address, data, true, "advert");
        } catch (const std::exception& e) {
            Output::complain("drift " + address + ": " + e.what());
        }
    });
    say("drift " + address);
    return {};
}

Outcome BluezDouble::everyCommand(const ScriptLine& line) {
    if (line.words.size() == 2 && line.word(1) == "off") {
        repeats_.clear();
        say("every off");
        return {};
    }
    if (line.words.size() < 3)
        throw ScriptError("usage: every SECONDS COMMAND ... | every off");
    double seconds = parseSeconds("every", line.word(1));
    if (seconds < 0.01)
        throw ScriptError("every needs at least 0.01 s");
    ScriptLine repeated;
    repeated.words.assign(line.words.begin() + 2, line.words.end());
    repeated.options = line.options;
    static const char* kNotRepeatable[] = {"every", "sleep", "restart", "quit", "flood", "drift"};
    for (const char* c : kNotRepeatable)
        if (repeated.word(0) == c)
            throw ScriptError(std::string("'") + c + "' cannot be repeated with every");
    repeats_.push_back(loop_.repeating(seconds, [this, repeated] {
        try {
            execute(repeated, true);
        } catch (const std::exception& e) {
            Output::complain("every: " + std::string(e.what()) + ": " + repeated.rest(0));
        }
    }));
    say("every " + line.word(1) + " " + repeated.rest(0));
    return {};
}

}  // namespace brelo::fakebluez
