#pragma once

// A bare TCP server on 127.0.0.1 for the faults an HTTP library will not commit: it reads
// part of each request and then resets the connection, or reads whole requests and answers
// 204. Runs on its own thread until destroyed.

#include <atomic>
#include <cstddef>
#include <thread>

namespace brelo::test {

class RawServer {
public:
    enum class Mode { ResetMidRequest, Answer204 };

    explicit RawServer(Mode mode);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }
    void setMode(Mode mode) { mode_ = mode; }
    size_t resets() const { return resets_; }
    size_t answered() const { return answered_; }
    // Every connection accepted so far is closed again (the server's side of it).
    bool idle() const { return closed_ == accepted_; }

private:
    void serve();
    void handle(int fd);

    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd: tells the thread to stop
    int port_ = 0;
    std::atomic<Mode> mode_;
    std::atomic<size_t> resets_{0};
    std::atomic<size_t> answered_{0};
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> closed_{0};
    std::thread thread_;
};

}  // namespace brelo::test
