#pragma once

// What the parts of the BlueZ double share: BlueZ's interface and error names with the
// texts it sends, and small readers and writers of messages and lines.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

namespace brelo::fakebluez {

inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kAdvertisingInterface = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";

// BlueZ's error names and the texts it sends with them.
inline constexpr const char* kInvalidArguments = "org.bluez.Error.InvalidArguments";
inline constexpr const char* kInvalidArgumentsText = "Invalid arguments in method call";
inline constexpr const char* kNotReady = "org.bluez.Error.NotReady";
inline constexpr const char* kNotReadyText = "Resource Not Ready";
inline constexpr const char* kInProgress = "org.bluez.Error.InProgress";
inline constexpr const char* kInProgressText = "Operation already in progress";
inline constexpr const char* kFailed = "org.bluez.Error.Failed";
inline constexpr const char* kAlreadyExists = "org.bluez.Error.AlreadyExists";
inline constexpr const char* kAlreadyExistsText = "Already Exists";
inline constexpr const char* kDoesNotExist = "org.bluez.Error.DoesNotExist";
inline constexpr const char* kDoesNotExistText = "Does Not Exist";
inline constexpr const char* kNotPermitted = "org.bluez.Error.NotPermitted";
inline constexpr const char* kMonitorManagerInterface = "org.bluez.AdvertisementMonitorManager1";
inline constexpr const char* kMonitorInterface = "org.bluez.AdvertisementMonitor1";

// Controllers offer a handful of advertising instances; a sixth registration is refused.
inline constexpr size_t kMaxAdvertisements = 5;

std::string senderOf(sd_bus_message* m);

// Every handler is a C callback: nothing may escape it.
template <class F>
int guarded(sd_bus_error* error, F&& f) noexcept {
    try {
        return f();
    } catch (const std::exception& e) {
        return sd_bus_error_set(error, kFailed, e.what());
    } catch (...) {
        return sd_bus_error_set(error, kFailed, "internal error");
    }
}

// A handler whose one argument is an object path: f(path) once it is read, nothing escaping.
template <class F>
int guardedWithPath(sd_bus_message* m, sd_bus_error* error, F&& f) noexcept {
    return guarded(error, [&] {
        const char* path = nullptr;
        int r = sd_bus_message_read(m, "o", &path);
        return r < 0 ? r : f(std::string(path));
    });
}

// An adapter name a script may use (letters, digits, underscores), and the address an
// adapter made by a script gets unless it names one.
bool validAdapterName(const std::string& name);
std::string defaultAdapterAddress(size_t index);
std::string quoteIfSpaced(const std::string& v);
std::string joined(const std::vector<std::string>& items);
std::string variantSignature(sd_bus_message* m);
// Reads an "as" inside the current variant.
int readStrings(sd_bus_message* m, std::vector<std::string>& out);
// Reads an a{?v} whose values must all be byte arrays (ManufacturerData a{qv}, ServiceData
// a{sv}); false when a value has another type.
bool readByteArrayDict(sd_bus_message* m, char keyType, std::map<uint16_t, std::vector<uint8_t>>* out);
// Seconds on CLOCK_MONOTONIC.
double monotonicSeconds();

}  // namespace brelo::fakebluez
