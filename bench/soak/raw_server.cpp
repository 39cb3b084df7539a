#include "raw_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace brelo::test {
namespace {

// Reads until the end of the headers and the body they announce. False if the peer went.
bool readRequest(int fd) {
    std::string data;
    char buffer[4096];
    size_t need = std::string::npos;
    for (;;) {
        if (need != std::string::npos && data.size() >= need)
            return true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
        if (need == std::string::npos) {
            size_t end = data.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            size_t length = 0;
            for (const char* key : {"Content-Length:", "content-length:"})
                if (size_t at = data.find(key); at != std::string::npos && at < end)
                    length = std::strtoul(data.c_str() + at + 15, nullptr, 10);
            need = end + 4 + length;
        }
    }
}

}  // namespace

RawServer::RawServer(Mode mode) : mode_(mode) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 16) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
    uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(wakeFd_);
    close(listenFd_);
}

void RawServer::serve() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ++accepted_;
            handle(fd);
            ++closed_;
        }
    }
}

void RawServer::handle(int fd) {
    if (mode_ == Mode::ResetMidRequest) {
        // Take the first bytes of the request, then abort: with a zero linger time close()
        // sends a reset instead of an orderly end.
        char buffer[64];
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) > 0)
            (void)!read(fd, buffer, sizeof buffer);
        linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(fd);
        ++resets_;
        return;
    }
    if (readRequest(fd)) {
        static const char kAnswer[] = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
        (void)!write(fd, kAnswer, sizeof kAnswer - 1);
        ++answered_;
    }
    close(fd);
}

}  // namespace brelo::test
