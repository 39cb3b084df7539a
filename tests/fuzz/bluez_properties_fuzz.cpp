// Fuzzes the decoding of what BlueZ sends: the a{sv} of Device1 properties and the
// object-manager messages (GetManagedObjects, InterfacesAdded, InterfacesRemoved,
// PropertiesChanged) that keep the object cache. The input is read as a small program that
// builds real, sealed sd-bus messages value by value: mostly the types BlueZ uses, often
// the wrong ones, sometimes a body of another signature altogether. Whatever arrives, the
// decoders must not crash, must keep every cap, must treat a mistyped property as absent
// and must never report an advertisement without an RSSI.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "bluetooth/bluez/device_properties.h"
#include "bluetooth/bluez/object_cache.h"
#include "fuzz/fuzz_check.h"
#include "unit/bluetooth/offline_bus.h"

namespace {

using namespace brelo::bluetooth::bluez;
using brelo::fuzz::check;

// The values the writer makes, each of the D-Bus signature beside it in kSignatures.
enum class Kind : uint8_t {
    Byte, Bool, Int16, Uint16, Int32, Uint32, Int64, Uint64, Double, String, Path, Signature,
    Bytes, Strings, Paths, CompanyMap, BadCompany, Dict, Struct, Variant, Last = Variant,
};
// BadCompany is ManufacturerData's idea with the wrong signature.
const char* const kSignatures[] = {"y", "b", "n", "q", "i",  "u",  "x",     "t",      "d",     "s",
                                   "o", "g", "ay", "as", "ao", "a{qv}", "a{qay}", "a{sv}", "(sv)", "v"};
static_assert(std::size(kSignatures) == static_cast<size_t>(Kind::Last) + 1);
const char* signatureOf(Kind k) { return kSignatures[static_cast<size_t>(k)]; }

const char* const kPaths[] = {
    "/org/bluez/hci0", "/org/bluez/hci1", "/org/bluez/hci0/dev_C0_FF_EE_00_00_01",
    "/org/bluez/hci0/dev_C0_FF_EE_00_00_02", "/org/bluez/hci0/dev_C0_FF_EE_00_00_03",
    "/org/bluez/hci0/dev_C0_FF_EE_00_00_04", "/org/bluez/hci1/dev_C0_FF_EE_00_00_01", "/", "/org/bluez",
};
const char* const kInterfaces[] = {
    kDeviceInterface, kAdapterInterface, kAdvertisingManagerInterface, "org.freedesktop.DBus.Properties",
    "org.bluez.Battery1", "",
};
const char* const kKeys[] = {
    "Address", "Name", "ManufacturerData", "UUIDs", "TxPower", "RSSI", "Powered", "Discovering",
    "Alias", "ServiceData", "AddressType", "Paired", "",
};
const char* const kStrings[] = {
    "C0:FF:EE:00:00:01", "c0:ff:ee:00:00:02", "not an address", "180F", "0000180f-0000-1000-8000-00805f9b34fb",
    "7e5b8a11-9c2f-4d6a-b1e4-0f3a7c91d2e8", "7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8", "KVQ-kitchen", "Desk\nLamp",
    "\x01\x02\x7f", "caf\xc3\xa9", "\xf0\x9f\x98\x80 emoji",
};

// Builds message bodies from the fuzz input and remembers, for the top-level dictionary of
// device properties, what it wrote under each key.
class Writer {
public:
    Writer(FuzzedDataProvider& in, sd_bus_message* m) : in_(in), m_(m) {}

    // What the last dictionary written by deviceDict() holds under each known key: the kind
    // of its last entry, and for ManufacturerData whether some entry held bytes.
    std::map<std::string, Kind> lastKind;
    bool companyHadBytes = false;
    // One interface named twice for one object, which BlueZ never sends: the later entry
    // replaces the earlier, and may take away the RSSI that made the change a report.
    bool repeatedInterface = false;

    Kind anyKind() {
        auto k = static_cast<Kind>(in_.ConsumeIntegralInRange<int>(0, static_cast<int>(Kind::Last)));
        // Nesting stops somewhere.
        if (depth_ >= 4 && k >= Kind::Bytes)
            return Kind::String;
        return k;
    }

    std::string text() {
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return kStrings[in_.ConsumeIntegralInRange<size_t>(0, std::size(kStrings) - 1)];
        case 1: {
            // Long texts cheaply: one character of one to four bytes many times over (up to
            // 64 KiB), so that a cap falls inside a character as often as between two.
            static const char* const kUnits[] = {"x", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
            const std::string unit = kUnits[in_.ConsumeIntegralInRange<size_t>(0, std::size(kUnits) - 1)];
            std::string s;
            for (size_t n = spend(in_.ConsumeIntegralInRange<size_t>(0, 64 * 1024)); s.size() + unit.size() <= n;)
                s += unit;
            return s;
        }
        default:
            return in_.ConsumeRandomLengthString(512);
        }
    }

    // Appends a string, or a placeholder when sd-bus refuses the text (it must be UTF-8
    // without NUL: the bus daemon would never deliver anything else).
    // Returns the text as it went into the message (up to a NUL, or the placeholder).
    std::string string(char type, const std::string& s) {
        if (sd_bus_message_append_basic(m_, type, s.c_str()) >= 0)
            return s.c_str();
        const char* placeholder = type == 'o' ? "/" : type == 'g' ? "s" : "?";
        append(sd_bus_message_append_basic(m_, type, placeholder));
        return placeholder;
    }

    void path() {
        if (in_.ConsumeBool())
            string('o', kPaths[in_.ConsumeIntegralInRange<size_t>(0, std::size(kPaths) - 1)]);
        else
            string('o', "/" + in_.ConsumeRandomLengthString(40));
    }

    size_t count() {
        // Now and then a great many entries (10,000 UUIDs, say), made by repetition.
        if (in_.ConsumeIntegralInRange<int>(0, 31) == 0)
            return in_.ConsumeIntegralInRange<size_t>(0, 12000);
        return in_.ConsumeIntegralInRange<size_t>(0, 6);
    }

    void value(Kind k) {
        ++depth_;
        switch (k) {
        case Kind::Byte: basic('y', in_.ConsumeIntegral<uint8_t>()); break;
        case Kind::Bool: basic('b', static_cast<int>(in_.ConsumeIntegral<uint8_t>() & 1)); break;
        case Kind::Int16: basic('n', in_.ConsumeIntegral<int16_t>()); break;
        case Kind::Uint16: basic('q', in_.ConsumeIntegral<uint16_t>()); break;
        case Kind::Int32: basic('i', in_.ConsumeIntegral<int32_t>()); break;
        case Kind::Uint32: basic('u', in_.ConsumeIntegral<uint32_t>()); break;
        case Kind::Int64: basic('x', in_.ConsumeIntegral<int64_t>()); break;
        case Kind::Uint64: basic('t', in_.ConsumeIntegral<uint64_t>()); break;
        case Kind::Double: basic('d', in_.ConsumeFloatingPoint<double>()); break;
        case Kind::String: string('s', text()); break;
        case Kind::Path: path(); break;
        case Kind::Signature: string('g', in_.ConsumeRandomLengthString(8)); break;
        case Kind::Bytes: {
            std::vector<uint8_t> bytes;
            if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
                bytes.assign(spend(in_.ConsumeIntegralInRange<size_t>(0, 64 * 1024)), in_.ConsumeIntegral<uint8_t>());
            else
                bytes = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 300));
            append(sd_bus_message_append_array(m_, 'y', bytes.data(), bytes.size()));
            break;
        }
        case Kind::Strings:
        case Kind::Paths: {
            const char type = k == Kind::Strings ? 's' : 'o';
            open('a', k == Kind::Strings ? "s" : "o");
            const size_t n = count();
            std::string s = type == 's' ? text() : std::string("/org/bluez");
            for (size_t i = 0; i < n; ++i) {
                if (i < 8 && in_.remaining_bytes() > 0)
                    s = type == 's' ? text() : kPaths[in_.ConsumeIntegralInRange<size_t>(0, std::size(kPaths) - 1)];
                else if (spend(s.size() + 8) < s.size() + 8)
                    break;
                string(type, s);
            }
            close();
            break;
        }
        case Kind::CompanyMap:
        case Kind::BadCompany: {
            const bool good = k == Kind::CompanyMap;
            open('a', good ? "{qv}" : "{qay}");
            const size_t n = std::min<size_t>(count(), 300);
            for (size_t i = 0; i < n; ++i) {
                open('e', good ? "qv" : "qay");
                basic('q', in_.ConsumeIntegral<uint16_t>());
                if (!good) {
                    value(Kind::Bytes);
                } else {
                    const Kind inner = in_.ConsumeIntegralInRange<int>(0, 3) != 0 ? Kind::Bytes : anyKind();
                    variant(inner);
                    if (inner == Kind::Bytes && depth_ == 2 && inCompanyKey_)
                        companyHadBytes = true;
                }
                close();
            }
            close();
            break;
        }
        case Kind::Dict:
            dict(false);
            break;
        case Kind::Struct:
            open('r', "sv");
            string('s', text());
            variant(anyKind());
            close();
            break;
        case Kind::Variant:
            variant(anyKind());
            break;
        }
        --depth_;
    }

    void variant(Kind k) {
        open('v', signatureOf(k));
        value(k);
        close();
    }

    // An a{sv}; as device properties, most values have the type BlueZ gives them.
    void dict(bool deviceProperties) {
        const bool top = deviceProperties && depth_ == 0;
        if (top) {
            lastKind.clear();
            companyHadBytes = false;
        }
        open('a', "{sv}");
        const size_t n = std::min<size_t>(count(), 40);
        for (size_t i = 0; i < n && in_.remaining_bytes() > 0; ++i) {
            open('e', "sv");
            const std::string key =
                string('s', in_.ConsumeBool() ? kKeys[in_.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)]
                                              : in_.ConsumeRandomLengthString(16));
            Kind k = in_.ConsumeIntegralInRange<int>(0, 3) != 0 ? expectedKind(key) : anyKind();
            if (depth_ >= 4 && k >= Kind::Bytes)
                k = Kind::String;  // D-Bus allows only so much nesting
            if (top) {
                inCompanyKey_ = key == "ManufacturerData";
                if (inCompanyKey_)
                    companyHadBytes = false;
            }
            ++depth_;
            variant(k);
            --depth_;
            if (top) {
                inCompanyKey_ = false;
                lastKind[key] = k;
            }
            close();
        }
        close();
    }

    static Kind expectedKind(const std::string& key) {
        if (key == "Address" || key == "Name" || key == "Alias" || key == "AddressType")
            return Kind::String;
        if (key == "ManufacturerData")
            return Kind::CompanyMap;
        if (key == "UUIDs")
            return Kind::Strings;
        if (key == "TxPower" || key == "RSSI")
            return Kind::Int16;
        if (key == "Powered" || key == "Discovering" || key == "Paired")
            return Kind::Bool;
        return Kind::Dict;
    }

    // InterfacesAdded's and GetManagedObjects's a{sa{sv}}.
    void interfaces() {
        open('a', "{sa{sv}}");
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 4);
        std::vector<size_t> written;
        for (size_t i = 0; i < n; ++i) {
            open('e', "sa{sv}");
            const size_t which = in_.ConsumeIntegralInRange<size_t>(0, std::size(kInterfaces) - 1);
            if (std::find(written.begin(), written.end(), which) != written.end())
                repeatedInterface = true;
            written.push_back(which);
            string('s', kInterfaces[which]);
            dict(true);
            close();
        }
        close();
    }

    void invalidated() {
        open('a', "s");
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 4);
        for (size_t i = 0; i < n; ++i)
            string('s', kKeys[in_.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)]);
        close();
    }

    // Top-level values of any kinds: a body of the wrong signature.
    void anything() {
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 3);
        for (size_t i = 0; i < n; ++i) {
            value(anyKind());
        }
    }

private:
    // What is left of the message's size: the bus delivers nothing near its 128 MiB limit,
    // and sd-bus would not read back an array over 64 MiB.
    size_t spend(size_t want) {
        size_t n = std::min(want, budget_);
        budget_ -= n;
        return n;
    }

    template <class T>
    void basic(char type, T v) {
        append(sd_bus_message_append_basic(m_, type, &v));
    }
    void open(char type, const char* contents) { append(sd_bus_message_open_container(m_, type, contents)); }
    void close() { append(sd_bus_message_close_container(m_)); }
    void append(int r) {
        if (r < 0)
            throw std::runtime_error("append failed");
    }

    FuzzedDataProvider& in_;
    sd_bus_message* m_;
    int depth_ = 0;
    size_t budget_ = 256 * 1024;
    bool inCompanyKey_ = false;  // writing the value of the top-level "ManufacturerData"
};

brelo::test::OfflineBus& bus() {
    static brelo::test::OfflineBus instance;
    return instance;
}

constexpr size_t kFuzzMaxDevices = 3;

void checkAdvertisement(const DeviceProperties& d) {
    const auto& a = d.advertisement;
    if (a.localName) {
        check(a.localName->size() <= kMaxNameBytes, "name over its cap");
        check(brelo::fuzz::isUtf8(*a.localName), "name cut inside a character");
    }
    if (a.manufacturerData)
        check(a.manufacturerData->size() >= 2 && a.manufacturerData->size() <= 2 + kMaxManufacturerValueBytes,
              "manufacturer data size", std::to_string(a.manufacturerData->size()));
    if (a.serviceUuids)
        check(a.serviceUuids->size() <= kMaxServiceUuids, "UUIDs over their cap");
    check(!a.peripheralName, "a peripheral name from BlueZ");
}

void checkChange(ObjectCache& cache, const CacheChange& change, bool repeatedInterface) {
    if (!change.device)
        return;
    check(change.device->rssi.has_value() || repeatedInterface, "an advertisement reported without RSSI");
    check(cache.device(change.devicePath) == change.device, "reported device is not the cached one");
    checkAdvertisement(*change.device);
}

// Whether a property written with kind k must have been read (true) or dropped (false).
void checkPresence(const Writer& w, const char* key, Kind expected, bool present) {
    auto it = w.lastKind.find(key);
    if (it == w.lastKind.end())
        return;
    bool should = it->second == expected;
    if (std::string_view(key) == "ManufacturerData")
        should = should && w.companyHadBytes;
    check(present == should, "property read against its type", key);
}

void run(FuzzedDataProvider& in, ObjectCache& cache, DeviceProperties& direct) {
    const int op = in.ConsumeIntegralInRange<int>(0, 5);
    const char* path = kPaths[in.ConsumeIntegralInRange<size_t>(0, std::size(kPaths) - 1)];
    const bool wrongBody = in.ConsumeIntegralInRange<int>(0, 9) == 0;
    std::optional<Writer> writer;
    brelo::runtime::MessagePtr m;
    try {
        m = bus().signal(path, "org.freedesktop.DBus.ObjectManager", "Fuzz", [&](sd_bus_message* raw) {
            writer.emplace(in, raw);
            Writer& w = *writer;
            if (wrongBody) {
                w.anything();
                return;
            }
            switch (op) {
            case 0:
                w.dict(true);
                w.invalidated();
                break;
            case 1:
                w.path();
                w.interfaces();
                break;
            case 2:
                w.string('s', kInterfaces[in.ConsumeIntegralInRange<size_t>(0, std::size(kInterfaces) - 1)]);
                w.dict(true);
                w.invalidated();
                break;
            case 3:
                w.path();
                w.invalidated();
                break;
            default: {
                sd_bus_message_open_container(raw, 'a', "{oa{sa{sv}}}");
                const size_t n = in.ConsumeIntegralInRange<size_t>(0, 6);
                for (size_t i = 0; i < n; ++i) {
                    sd_bus_message_open_container(raw, 'e', "oa{sa{sv}}");
                    w.path();
                    w.interfaces();
                    sd_bus_message_close_container(raw);
                }
                sd_bus_message_close_container(raw);
            }
            }
        });
    } catch (const std::runtime_error&) {
        return;  // not a message the bus could carry
    }

    // BRELO_FUZZ_DUMP=1 shows each message, to see what a saved crash input built.
    static const bool dump = std::getenv("BRELO_FUZZ_DUMP") != nullptr;
    if (dump) {
        std::fprintf(stderr, "op %d%s\n", op, wrongBody ? " (any body)" : "");
        sd_bus_message_dump(m.get(), stderr, 0);
        sd_bus_message_rewind(m.get(), 1);
    }

    CacheChange change;
    int r = 0;
    switch (op) {
    case 0: {
        const DeviceProperties before = direct;
        r = readDeviceProperties(m.get(), direct);
        if (!wrongBody) {
            check(r >= 0, "a well-formed a{sv} refused", std::to_string(r));
            checkPresence(*writer, "RSSI", Kind::Int16, direct.rssi.has_value());
            checkPresence(*writer, "TxPower", Kind::Int16, direct.advertisement.txPowerLevel.has_value());
            checkPresence(*writer, "Name", Kind::String, direct.advertisement.localName.has_value());
            checkPresence(*writer, "Address", Kind::String, direct.identifier.has_value());
            checkPresence(*writer, "UUIDs", Kind::Strings, direct.advertisement.serviceUuids.has_value());
            checkPresence(*writer, "ManufacturerData", Kind::CompanyMap,
                          direct.advertisement.manufacturerData.has_value());
            if (!writer->lastKind.count("RSSI"))
                check(direct.rssi == before.rssi, "RSSI changed without being sent");
            r = readInvalidatedDeviceProperties(m.get(), direct);
            check(r >= 0, "a well-formed invalidated list refused");
        }
        checkAdvertisement(direct);
        return;
    }
    case 1:
        r = cache.interfacesAdded(m.get(), change);
        break;
    case 2:
        r = cache.propertiesChanged(m.get(), change);
        break;
    case 3:
        r = cache.interfacesRemoved(m.get(), change);
        break;
    default:
        r = cache.load(m.get());
        break;
    }
    if (!wrongBody)
        check(r >= 0, "a well-formed message refused", std::to_string(op) + ": " + std::to_string(r));
    check(cache.deviceCount() <= kFuzzMaxDevices, "device cap broken");
    checkChange(cache, change, writer && writer->repeatedInterface);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    ObjectCache cache(kFuzzMaxDevices);
    DeviceProperties direct;
    for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i)
        run(in, cache, direct);
    return 0;
}
