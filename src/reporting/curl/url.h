#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brelo::reporting {

// True when libcurl's URL parser accepts the text as a URL: any scheme, or none (then http
// is meant). Empty text does not parse.
bool urlParses(const std::string& text);

// The URL with one path segment (which may itself hold slashes) appended to its path, with
// exactly one "/" between them; query kept; http when the URL names no scheme. Empty when the
// URL does not parse.
// "http://h:8791" + "ble/ingest" -> "http://h:8791/ble/ingest"
// "http://h/base/" + "ble/ingest" -> "http://h/base/ble/ingest"
std::optional<std::string> appendPathSegment(const std::string& url, std::string_view segment);

}  // namespace brelo::reporting
