#include "loopback_server.h"

#include <stdexcept>

namespace brelo::test {

LoopbackServer::LoopbackServer() {
    responder_ = [](const httplib::Request&, httplib::Response& response) { response.status = 200; };
    auto handler = [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    server_.Put(".*", handler);
    server_.Delete(".*", handler);
    // Bounds how long stop() waits for a kept-alive connection the client left open.
    server_.set_keep_alive_timeout(1);
    // Bound and listening from here on: connections queue even before the accept loop runs.
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_.stop();
    thread_.join();
}

std::string LoopbackServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackServer::respond(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void LoopbackServer::stall() {
    respond([this](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopping_; });
        response.status = 500;
    });
}

bool LoopbackServer::waitForArrivals(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return stopping_ || received_.size() >= n; }) && !stopping_;
}

std::vector<ReceivedRequest> LoopbackServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

size_t LoopbackServer::count() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

void LoopbackServer::handle(const httplib::Request& request, httplib::Response& response) {
    Responder responder;
    {
        std::lock_guard lock(mutex_);
        received_.push_back({.method = request.method,
                             .path = request.path,
                             .target = request.target,
                             .contentType = request.get_header_value("Content-Type"),
                             .hasExpect = request.has_header("Expect"),
                             .body = request.body});
        responder = responder_;
    }
    changed_.notify_all();
    responder(request, response);
}

}  // namespace brelo::test
