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
    ThreadedDouble(const std::string& busAddress, bool impostor = false);
    ~ThreadedDouble();
    ThreadedDouble(const ThreadedDouble&) = delete;
    ThreadedDouble& operator=(const ThreadedDouble&) = delete;

    // Sends script lines and waits until the double has carried out all of them. False when
    // it did not within the timeout.
    bool run(const std::string& lines, std::chrono::milliseconds timeout = 10s);
    // Sends script lines without waiting.
    void send(const std::string& lines);

    // The index of the first journal line from `from` on that contains text.
    std::optional<size_t> waitForLine(const std::string& text, std::chrono::milliseconds timeout = 10s,
                                      size_t from = 0);
    // Waits until at least n journal lines contain text.
    bool waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout = 10s);
    size_t countLines(const std::string& text);
    // Waits until pred holds, looking again at every new journal line (pred may read the journal).
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);
    std::vector<std::string> lines();

private:
    void serve(std::string busAddress, bool impostor);
    // Ends the double's loop and its thread.
    void stop();
    size_t find(const std::string& text, size_t from, std::optional<size_t>* first);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> journal_;
    std::string inbox_;  // script text not yet taken by the double's thread
    bool quit_ = false;
    bool ended_ = false;
    std::optional<std::string> failure_;
    int wake_ = -1;  // eventfd: the double's loop looks at the inbox
    int marker_ = 0;
    std::thread thread_;
};

}  // namespace brelo::fakebluez
