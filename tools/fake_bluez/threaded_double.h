#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brelo::fakebluez {

using namespace std::chrono_literals;

// The double inside another program (a test), on a thread of its own with its own loop and
// its own connection to the bus. The program drives it with script lines and reads its
// journal: the lines fake-bluez prints, one for each thing a client did or the double did
// to it, kept in memory.
class ThreadedDouble {
public:
    // impostor: takes no name and sends the same signals from a connection that does not
    // own org.bluez. Throws when the double cannot get ready.
    explicit ThreadedDouble(const std::string& busAddress, bool impostor = false);
    ~ThreadedDouble();
    ThreadedDouble(const ThreadedDouble&) = delete;
    ThreadedDouble& operator=(const ThreadedDouble&) = delete;

    // Sends script lines and waits until the double has carried out all of them. False when
    // it did not within the timeout.
    bool run(const std::string& lines, std::chrono::milliseconds timeout = 10s);
    void send(const std::string& lines);  // without waiting

    // The index of the first journal line from `from` on that contains text.
    std::optional<size_t> waitForLine(const std::string& text, std::chrono::milliseconds timeout = 10s,
                                      size_t from = 0);
    bool waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout = 10s);
    size_t countLines(const std::string& text);
    // Waits until pred holds, looking again at every new journal line (pred may read the journal).
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);
    std::vector<std::string> lines();

private:
    void serve(const std::string& busAddress, bool impostor, int input);
    void stop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> journal_;
    bool ended_ = false;
    std::string failure_;
    int input_ = -1;  // our end of the socket the double reads its script from
    int marker_ = 0;
    std::thread thread_;
};

}  // namespace brelo::fakebluez
