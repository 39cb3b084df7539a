#pragma once

#include <deque>
#include <memory>
#include <unordered_map>

#include <curl/curl.h>

#include "reporting/curl/curl_handles.h"
#include "reporting/http_client.h"
#include "runtime/event_loop.h"
#include "runtime/handles.h"

namespace brelo::reporting {

// Sends requests with libcurl's multi interface, driven by the process's sd-event loop:
// libcurl names the sockets to watch and when to wake it, and the loop calls it back. No
// thread of our own. One multi handle for every request, so connections are reused.
//
// Each request is a POST (or request.method) of request.body to request.baseUrl with
// request.pathSegment appended, carrying "Content-Type: " request.contentType and no
// "Expect: 100-continue". Redirects are followed; 301 and 302 keep the POST and its body (a
// redirected upload still reaches the server, or fails visibly), 303 turns it into a GET, as
// the status means. TLS is verified as libcurl does by default. The response body is read off
// the socket and dropped.
//
// Completions run from the loop, one per dispatch, never from inside send(). Destroying the
// client abandons the requests in flight: their completions are never called.
class CurlHttpClient final : public HttpClient {
public:
    // Throws std::runtime_error when libcurl or sd-event cannot be set up.
    explicit CurlHttpClient(runtime::EventLoop& loop);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    // Never throws. A request that cannot be started completes (later, from the loop) with
    // libcurl's words for the reason.
    void send(HttpRequest request, Completion completion) override;

private:
    struct Transfer;
    struct Finished {
        Completion completion;
        HttpResult result;
    };

    static int onSocket(CURL* easy, curl_socket_t fd, int what, void* userp, void* socketp) noexcept;
    static int onTimer(CURLM* multi, long timeoutMs, void* userp) noexcept;
    static int onIo(sd_event_source* source, int fd, uint32_t revents, void* userdata) noexcept;
    static int onTime(sd_event_source* source, uint64_t usec, void* userdata) noexcept;
    static int onReady(sd_event_source* source, void* userdata) noexcept;

    std::optional<std::string> start(HttpRequest& request, Completion& completion);
    void watch(curl_socket_t fd, int what);
    void armTimer(long timeoutMs);
    void drive(curl_socket_t fd, int eventMask);
    void reapFinished();
    void finishLater(Completion completion, HttpResult result);

    runtime::EventLoop& loop_;
    // Declared before multi_ so they outlive it: curl_multi_cleanup() and
    // curl_multi_remove_handle() may still call the socket and timer callbacks.
    std::unordered_map<curl_socket_t, runtime::SourcePtr> ioSources_;
    runtime::SourcePtr timer_;
    std::deque<Finished> ready_;
    runtime::SourcePtr readySource_;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers_;
    MultiPtr multi_;
};

}  // namespace brelo::reporting
