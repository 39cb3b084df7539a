#include "support/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brelo::test {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(std::vector<std::string> argv) : ChildProcess(std::move(argv), Options{}) {}

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Build everything the child needs before fork: only async-signal-safe calls after it.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        if (std::none_of(options.environment.begin(), options.environment.end(),
                         [&](auto& kv) { return std::string_view(*e).starts_with(kv.first + "="); }))
            envStrings.emplace_back(*e);
    for (auto& [k, v] : options.environment)
        envStrings.push_back(k + "=" + v);
    auto pointers = [](std::vector<std::string>& items) {
        std::vector<char*> out;
        for (auto& item : items)
            out.push_back(item.data());
        out.push_back(nullptr);
        return out;
    };
    std::vector<char*> args = pointers(argv), env = pointers(envStrings);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(nothing, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (options.mergeStderr)
            dup2(out[1], STDERR_FILENO);
        // Die with the test run even if the test process is killed outright.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    close(out[1]);
    close(nothing);
    stdoutFd_ = out[0];
    fcntl(stdoutFd_, F_SETFL, fcntl(stdoutFd_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    stop();
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
}

bool ChildProcess::readAvailable(int timeoutMs) {
    if (stdoutFd_ < 0)
        return false;
    pollfd p{stdoutFd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0)
        return false;
    char buffer[65536];
    bool got = false;
    for (;;) {
        ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
        if (n > 0) {
            got = true;
            partial_.append(buffer, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
                lines_.emplace_back(partial_, start, nl - start);
            partial_.erase(0, start);
            continue;
        }
        if (n == 0) {  // end of output: stop polling it
            close(stdoutFd_);
            stdoutFd_ = -1;
        }
        break;
    }
    return got;
}

bool ChildProcess::waitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                           std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    readAvailable(0);
    while (!pred(lines_)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        if (stdoutFd_ < 0)
            return pred(lines_);  // no more output can come: waiting cannot change the answer
        readAvailable(static_cast<int>(std::min<decltype(left)>(left, 200)));
    }
    return true;
}

std::optional<size_t> ChildProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout,
                                                size_t fromIndex) {
    auto has = [&](const std::string& l) { return l.find(text) != std::string::npos; };
    auto from = [&](const std::vector<std::string>& lines) {
        return lines.begin() + static_cast<ptrdiff_t>(std::min(fromIndex, lines.size()));
    };
    if (!waitFor([&](const auto& lines) { return std::any_of(from(lines), lines.end(), has); }, timeout))
        return std::nullopt;
    return std::find_if(from(lines_), lines_.cend(), has) - lines_.cbegin();
}

size_t ChildProcess::countLines(const std::string& text) const {
    return std::count_if(lines_.begin(), lines_.end(), [&](auto& l) { return l.find(text) != std::string::npos; });
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !waitStatus_)
        ::kill(pid_, sig);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (waitStatus_)
        return waitStatus_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            waitStatus_ = status;
            readAvailable(0);
            return waitStatus_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        // Keep draining output meanwhile so a chatty child never blocks on a full pipe.
        if (!readAvailable(20) && stdoutFd_ < 0)
            usleep(5000);
    }
}

std::optional<int> ChildProcess::exitCode() const {
    if (!waitStatus_ || !(WIFEXITED(*waitStatus_) || WIFSIGNALED(*waitStatus_)))
        return std::nullopt;
    return WIFEXITED(*waitStatus_) ? WEXITSTATUS(*waitStatus_) : -WTERMSIG(*waitStatus_);
}

bool ChildProcess::running() {
    int status = 0;
    if (!waitStatus_ && waitpid(pid_, &status, WNOHANG) == pid_)
        waitStatus_ = status;
    return !waitStatus_;
}

void ChildProcess::stop() {
    if (pid_ <= 0 || waitStatus_)
        return;
    ::kill(pid_, SIGTERM);
    if (!waitExit(5s)) {
        ::kill(pid_, SIGKILL);
        waitExit(5s);
    }
}

std::string builtPath(const std::string& relative) { return std::string(BRELO_BINARY_DIR) + "/" + relative; }
std::string sourcePath(const std::string& relative) { return std::string(BRELO_SOURCE_DIR) + "/" + relative; }

int unusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

}  // namespace brelo::test
