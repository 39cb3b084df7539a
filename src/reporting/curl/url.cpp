#include "reporting/curl/url.h"

#include <memory>

#include <curl/curl.h>

namespace brelo::reporting {
namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
};
using UrlPtr = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFree {
    void operator()(char* p) const noexcept { curl_free(p); }
};
using CurlString = std::unique_ptr<char, CurlFree>;

constexpr unsigned kParseFlags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;

UrlPtr parse(const std::string& text) {
    if (text.empty())
        return nullptr;
    UrlPtr url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), kParseFlags) != CURLUE_OK)
        return nullptr;
    return url;
}

}  // namespace

bool urlParses(const std::string& text) { return parse(text) != nullptr; }

std::optional<std::string> appendPathSegment(const std::string& text, std::string_view segment) {
    UrlPtr url = parse(text);
    if (!url)
        return std::nullopt;
    char* raw = nullptr;
    std::string path;
    if (curl_url_get(url.get(), CURLUPART_PATH, &raw, 0) == CURLUE_OK && raw) {
        CurlString owned(raw);
        path = owned.get();
    }
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    path.append(segment);
    if (curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &raw, kParseFlags & ~CURLU_GUESS_SCHEME) != CURLUE_OK || !raw)
        return std::nullopt;
    CurlString owned(raw);
    return std::string(owned.get());
}

}  // namespace brelo::reporting
