#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brelo::listener {

// Appends bytes as lowercase hexadecimal, two digits per byte, no separator.
void appendHex(std::string& out, std::span<const uint8_t> bytes);

}  // namespace brelo::listener
