#include "reporting/curl/curl_http_client.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "reporting/curl/url.h"

namespace brelo::reporting {
namespace {

// sd-event takes 0 as "its default", which is 250 ms; curl's timers want a millisecond.
constexpr uint64_t kTimerAccuracyUsec = 1000;
// Enough for any sane chain of redirects; libcurl 7.88 would otherwise follow them forever
// (the time-out still bounds it).
constexpr long kMaxRedirects = 16;

// The response body is never looked at: take it off the socket and drop it.
size_t discardBody(char*, size_t size, size_t count, void*) noexcept { return size * count; }

// libcurl's own words for a failure: the detailed error buffer when it has something,
// otherwise the generic text for the code. Kept to one line, since it ends up in a log line.
std::string describe(CURLcode code, const char* errorBuffer) {
    std::string text = errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

void check(int r, const char* what) {
    if (r < 0)
        throw std::system_error(-r, std::generic_category(), what);
}

}  // namespace

struct CurlHttpClient::Transfer {
    EasyPtr easy;
    SlistPtr headers;
    std::string body;  // POSTFIELDS points into it: it stays put and unchanged while curl sends
    Completion completion;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

CurlHttpClient::CurlHttpClient(runtime::EventLoop& loop) : loop_(loop) {
    sd_event_source* raw = nullptr;
    check(sd_event_add_time(loop_.get(), &raw, CLOCK_MONOTONIC, 0, kTimerAccuracyUsec, &onTime, this),
          "sd_event_add_time");
    timer_.reset(raw);
    check(sd_event_source_set_enabled(raw, SD_EVENT_OFF), "sd_event_source_set_enabled");

    raw = nullptr;
    check(sd_event_add_defer(loop_.get(), &raw, &onReady, this), "sd_event_add_defer");
    readySource_.reset(raw);
    check(sd_event_source_set_enabled(raw, SD_EVENT_OFF), "sd_event_source_set_enabled");

    multi_.reset(curl_multi_init());
    if (!multi_)
        throw std::runtime_error("curl_multi_init failed");
    CURLM* m = multi_.get();
    if (curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, static_cast<curl_socket_callback>(&onSocket)) != CURLM_OK ||
        curl_multi_setopt(m, CURLMOPT_SOCKETDATA, this) != CURLM_OK ||
        curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, static_cast<curl_multi_timer_callback>(&onTimer)) != CURLM_OK ||
        curl_multi_setopt(m, CURLMOPT_TIMERDATA, this) != CURLM_OK)
        throw std::runtime_error("curl_multi_setopt failed");
}

CurlHttpClient::~CurlHttpClient() {
    // Abandoned transfers end here without their completions. Each easy handle leaves the
    // multi handle before it is freed, and all of them before the multi handle goes.
    for (auto& [easy, transfer] : transfers_)
        curl_multi_remove_handle(multi_.get(), easy);
    transfers_.clear();
    multi_.reset();
}

void CurlHttpClient::send(HttpRequest request, Completion completion) {
    std::string failure;
    try {
        std::optional<std::string> reason = start(request, completion);
        if (!reason)
            return;
        failure = std::move(*reason);
    } catch (...) {
        failure = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    }
    try {
        finishLater(std::move(completion), HttpResult{.error = std::move(failure), .hasResponse = false, .statusCode = 0});
    } catch (...) {
        // Out of memory even for that: the completion is lost with the request.
    }
}

// Sets up one transfer and hands it to the multi handle. On failure returns the reason and
// leaves completion with the caller.
std::optional<std::string> CurlHttpClient::start(HttpRequest& request, Completion& completion) {
    std::optional<std::string> url = appendPathSegment(request.baseUrl, request.pathSegment);
    if (!url)
        return std::string(curl_easy_strerror(CURLE_URL_MALFORMAT));

    auto transfer = std::make_unique<Transfer>();
    transfer->easy.reset(curl_easy_init());
    if (!transfer->easy)
        return std::string(curl_easy_strerror(CURLE_FAILED_INIT));
    CURL* easy = transfer->easy.get();

    // "Expect:" with no value keeps libcurl from adding "Expect: 100-continue" to larger
    // bodies, which would cost a round trip (or a one-second wait) for nothing.
    for (const std::string& header : {"Content-Type: " + request.contentType, std::string("Expect:")}) {
        curl_slist* list = curl_slist_append(transfer->headers.get(), header.c_str());
        if (!list)
            return std::string(curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        (void)transfer->headers.release();
        transfer->headers.reset(list);
    }
    transfer->body = std::move(request.body);

    long timeoutMs = 0;  // 0: no limit
    if (request.timeoutS > 0)
        timeoutMs = std::max(1L, std::lround(request.timeoutS * 1000.0));

    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_URL, url->c_str());
    // An upload only makes sense over HTTP; a file: or ftp: URL must not quietly do something else.
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->body.size()));
    set(CURLOPT_POSTFIELDS, transfer->body.data());
    if (request.method != "POST")
        set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
    set(CURLOPT_HTTPHEADER, transfer->headers.get());
    set(CURLOPT_TIMEOUT_MS, timeoutMs);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    // By default libcurl, like browsers, turns a POST into a body-less GET on 301 and 302; the
    // upload would then be lost, and a page answering the GET with 200 would count as success.
    set(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
    // Time-outs without SIGALRM: signals belong to the process, not to a library.
    set(CURLOPT_NOSIGNAL, 1L);
    // A transfer ending while its name lookup still runs (a time-out against a stuck DNS
    // server, or the client going away) would otherwise join the resolver thread and hold up
    // the whole loop until getaddrinfo returns; this lets the thread finish and clean up alone.
    set(CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    set(CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(&discardBody));
    set(CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    if (rc != CURLE_OK)
        return std::string(curl_easy_strerror(rc));

    auto [it, inserted] = transfers_.emplace(easy, std::move(transfer));
    it->second->completion = std::move(completion);
    // Only arms the zero-delay timer through onTimer; the transfer starts from the loop.
    CURLMcode mc = curl_multi_add_handle(multi_.get(), easy);
    if (mc != CURLM_OK) {
        completion = std::move(it->second->completion);
        transfers_.erase(it);
        return std::string(curl_multi_strerror(mc));
    }
    return std::nullopt;
}

void CurlHttpClient::reapFinished() {
    std::vector<std::pair<CURL*, CURLcode>> done;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left)) {
        if (msg->msg == CURLMSG_DONE)
            done.emplace_back(msg->easy_handle, msg->data.result);
    }
    for (auto [easy, code] : done) {
        curl_multi_remove_handle(multi_.get(), easy);
        auto it = transfers_.find(easy);
        if (it == transfers_.end())
            continue;
        long status = 0;
        if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < 0)
            status = 0;
        HttpResult result{.error = std::nullopt, .hasResponse = status > 0, .statusCode = status};
        if (code != CURLE_OK)
            result.error = describe(code, it->second->errorBuffer);
        Completion completion = std::move(it->second->completion);
        transfers_.erase(it);
        finishLater(std::move(completion), std::move(result));
    }
}

void CurlHttpClient::finishLater(Completion completion, HttpResult result) {
    ready_.push_back(Finished{std::move(completion), std::move(result)});
    sd_event_source_set_enabled(readySource_.get(), SD_EVENT_ONESHOT);
}

// One completion per dispatch, so a burst of finished uploads takes turns with timers and
// sockets like everything else on the loop.
int CurlHttpClient::onReady(sd_event_source* source, void* userdata) noexcept {
    auto* self = static_cast<CurlHttpClient*>(userdata);
    if (self->ready_.empty())
        return 0;
    Finished finished = std::move(self->ready_.front());
    self->ready_.pop_front();
    if (!self->ready_.empty())
        sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    // The completion may destroy the client: nothing of self is touched after it.
    if (finished.completion) {
        try {
            finished.completion(finished.result);
        } catch (...) {
            // A throwing completion loses its own work only.
        }
    }
    return 0;
}

}  // namespace brelo::reporting
