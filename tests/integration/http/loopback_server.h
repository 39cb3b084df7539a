#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace brelo::test {

using namespace std::chrono_literals;

// What the server saw of one request.
struct ReceivedRequest {
    std::string method;
    std::string path;    // without the query
    std::string target;  // path and query as sent
    std::string contentType;
    bool hasExpect = false;
    std::string body;
};

// A real HTTP server on 127.0.0.1, on a port the OS picks, answering from its own threads.
// Every request is recorded, then answered by the current responder (200 unless told
// otherwise). The destructor releases stalled requests and stops the server.
class LoopbackServer {
public:
    using Responder = std::function<void(const httplib::Request&, httplib::Response&)>;

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:PORT"

    void respond(Responder responder);
    // Requests are read and then never answered, until the server goes away.
    void stall();
    // Blocks a server thread until n requests have arrived (or the timeout passed, or the
    // server is stopping). For responders that must see requests side by side.
    bool waitForArrivals(size_t n, std::chrono::milliseconds timeout);

    std::vector<ReceivedRequest> received() const;
    size_t count() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);

    httplib::Server server_;
    int port_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedRequest> received_;
    Responder responder_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything it touches exists
};

}  // namespace brelo::test
