#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brelo::sink {

// Text from a request made safe for one terminal line: control characters become '?', and
// text longer than maxBytes is cut at a character boundary and marked with "~".
std::string printable(std::string_view text, size_t maxBytes = 40);

}  // namespace brelo::sink
