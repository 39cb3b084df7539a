#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace brelo::test {

using namespace std::chrono_literals;

// A program started by a test. Its standard output (and, unless told otherwise, standard
// error) is read line by line; its standard input is /dev/null. The destructor stops it by
// process id (SIGTERM, then SIGKILL after 5 s) and reaps it, so no test leaves one behind.
class ChildProcess {
public:
    struct Options {
        std::vector<std::pair<std::string, std::string>> environment;  // added to ours
        bool mergeStderr = false;  // read stderr together with stdout
    };

    explicit ChildProcess(std::vector<std::string> argv);
    ChildProcess(std::vector<std::string> argv, Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Every complete line read so far (without line feeds).
    const std::vector<std::string>& lines() const { return lines_; }
    // Reads output until pred(lines) holds or the timeout passes; true when it held.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                 std::chrono::milliseconds timeout = 10s);
    // Waits for a line containing text; returns its index.
    std::optional<size_t> waitForLine(const std::string& text, std::chrono::milliseconds timeout = 10s,
                                      size_t fromIndex = 0);
    // Lines containing text.
    size_t countLines(const std::string& text) const;

    void signal(int sig);
    // Waits for the process to end; its wait status (as from waitpid) or nothing on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 10s);
    // The exit code when it ended normally, -signal when killed, nothing while it runs.
    std::optional<int> exitCode() const;
    bool running();
    // Stops it now (SIGTERM, then SIGKILL) and reaps it.
    void stop();

private:
    bool readAvailable(int timeoutMs);

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    std::optional<int> waitStatus_;
};

// Path of a file built by this project (e.g. "brelo-ble", "tools/fake_bluez/fake-bluez").
std::string builtPath(const std::string& relative);
// Path of a file in the source tree.
std::string sourcePath(const std::string& relative);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int unusedLoopbackPort();

}  // namespace brelo::test
