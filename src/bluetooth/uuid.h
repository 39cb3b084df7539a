#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brelo::bluetooth {

// A 128-bit UUID. Compared by value, never by text.
class Uuid {
public:
    using Bytes = std::array<uint8_t, 16>;

    constexpr Uuid() = default;
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // Accepts the 36-character form (either case), and the 4- and 8-digit short forms of
    // Bluetooth's base UUID 0000XXXX-0000-1000-8000-00805F9B34FB.
    static std::optional<Uuid> parse(std::string_view text);

    // The 36-character form in upper case, e.g. 7E5B8A10-9C2F-4D6A-B1E4-0F3A7C91D2E8.
    std::string canonical() const;

    // The text form Bluetooth stacks show for service UUIDs: upper case, and UUIDs on the
    // Bluetooth base written as their 4 or 8 significant digits ("180F", "0000FEAA" -> "FEAA").
    std::string string() const;

    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

struct UuidHash {
    size_t operator()(const Uuid& u) const noexcept;
};

}  // namespace brelo::bluetooth
