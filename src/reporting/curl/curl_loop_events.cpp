// libcurl's sockets and timer on the sd-event loop: curl says what to watch, the loop says
// what happened.
#include <cstdint>
#include <sys/epoll.h>
#include <time.h>
#include <utility>

#include "reporting/curl/curl_http_client.h"

namespace brelo::reporting {
namespace {

uint64_t monotonicNowUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

}  // namespace

int CurlHttpClient::onSocket(CURL*, curl_socket_t fd, int what, void* userp, void*) noexcept {
    try {
        static_cast<CurlHttpClient*>(userp)->watch(fd, what);
    } catch (...) {
        // Unwatched, the socket's transfer still ends at its time-out.
    }
    return 0;
}

void CurlHttpClient::watch(curl_socket_t fd, int what) {
    if (what == CURL_POLL_REMOVE) {
        ioSources_.erase(fd);  // a socket we never watched: nothing to do
        return;
    }
    uint32_t events = 0;
    if (what & CURL_POLL_IN)
        events |= EPOLLIN;
    if (what & CURL_POLL_OUT)
        events |= EPOLLOUT;
    if (auto it = ioSources_.find(fd); it != ioSources_.end()) {
        if (sd_event_source_set_io_events(it->second.get(), events) >= 0)
            return;
        // The registration went stale (the descriptor was closed and reused behind our
        // back): start over with a fresh source.
        ioSources_.erase(it);
    }
    sd_event_source* raw = nullptr;
    // If the source cannot be added, the transfer on this socket still ends at its time-out.
    if (sd_event_add_io(loop_.get(), &raw, fd, events, &onIo, this) < 0)
        return;
    runtime::SourcePtr source(raw);
    ioSources_.emplace(fd, std::move(source));
}

int CurlHttpClient::onTimer(CURLM*, long timeoutMs, void* userp) noexcept {
    static_cast<CurlHttpClient*>(userp)->armTimer(timeoutMs);
    return 0;
}

// Only (re)arms the one-shot time source: libcurl must not be called back from inside its
// own timer callback, so even "now" (0) goes through the loop.
void CurlHttpClient::armTimer(long timeoutMs) {
    if (timeoutMs < 0) {
        sd_event_source_set_enabled(timer_.get(), SD_EVENT_OFF);
        return;
    }
    uint64_t due = 0;  // in the past: fires at the next turn of the loop
    if (timeoutMs > 0) {
        // From the clock, not the loop's cached time, and +999 µs: woken before its deadline,
        // libcurl would find nothing due and, seeing the same deadline, not ask again.
        due = monotonicNowUsec() + static_cast<uint64_t>(timeoutMs) * 1000 + 999;
    }
    sd_event_source_set_time(timer_.get(), due);
    sd_event_source_set_enabled(timer_.get(), SD_EVENT_ONESHOT);
}

int CurlHttpClient::onIo(sd_event_source*, int fd, uint32_t revents, void* userdata) noexcept {
    int mask = 0;
    if (revents & EPOLLIN)
        mask |= CURL_CSELECT_IN;
    if (revents & EPOLLOUT)
        mask |= CURL_CSELECT_OUT;
    if (revents & (EPOLLERR | EPOLLHUP))
        mask |= CURL_CSELECT_ERR;
    static_cast<CurlHttpClient*>(userdata)->drive(fd, mask);
    return 0;
}

int CurlHttpClient::onTime(sd_event_source*, uint64_t, void* userdata) noexcept {
    static_cast<CurlHttpClient*>(userdata)->drive(CURL_SOCKET_TIMEOUT, 0);
    return 0;
}

void CurlHttpClient::drive(curl_socket_t fd, int eventMask) {
    int running = 0;
    curl_multi_socket_action(multi_.get(), fd, eventMask, &running);
    // Back from libcurl: finished handles may be removed now.
    try {
        reapFinished();
    } catch (...) {
        // Out of memory while collecting; the messages left unread come out next time.
    }
}

}  // namespace brelo::reporting
