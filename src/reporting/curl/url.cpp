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

UrlPtr parseWith(const std::string& text, unsigned flags) {
    UrlPtr url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK)
        return nullptr;
    return url;
}

UrlPtr parse(const std::string& text) {
    if (text.empty())
        return nullptr;
    if (UrlPtr url = parseWith(text, CURLU_NON_SUPPORT_SCHEME))
        return url;
    // No scheme of its own. curl's guess goes by the host name and would turn
    // "ftp.example.lan:8791" into an FTP URL that cannot carry an upload; such a URL is http.
    UrlPtr url = parseWith(text, CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME);
    if (!url || curl_url_set(url.get(), CURLUPART_SCHEME, "http", 0) != CURLUE_OK)
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
    if (curl_url_get(url.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK || !raw)
        return std::nullopt;
    CurlString owned(raw);
    return std::string(owned.get());
}

}  // namespace brelo::reporting
