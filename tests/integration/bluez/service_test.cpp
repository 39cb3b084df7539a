// brelo-ble as systemd runs it: the notify protocol, and SIGTERM in the middle of a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <time.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "program_fixture.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
class NotifySocket {
public:
    NotifySocket() : path_("/tmp/brelo-notify-" + std::to_string(getpid())) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        unlink(path_.c_str());
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path_;
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    // Messages received so far that start with prefix.
    size_t count(const std::string& prefix) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            messages_.emplace_back(buffer, static_cast<size_t>(n));
        return std::count_if(messages_.begin(), messages_.end(), [&](auto& m) { return m.rfind(prefix, 0) == 0; });
    }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

double seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double newestTs(const std::vector<nlohmann::json>& records) {
    double newest = 0;
    for (const auto& r : records)
        newest = std::max(newest, r.value("ts", 0.0));
    return newest;
}

using ServiceOnFakeBluez = test::ProgramOnFakeBluez;
using test::recordsNamed;

// Lines the double printed for calls the node made itself, not for its connection going away.
size_t explicitly(test::FakeBluez& fake, const std::string& what) {
    auto& lines = fake.lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(what, 0) == 0 && l.find("client gone") == std::string::npos;
    });
}

TEST_F(ServiceOnFakeBluez, NotifiesSystemdAndStopsInOrderWhetherTheServerAnswersOrHangs) {
    ASSERT_TRUE(fake_->run("adapter add hci0\nevery 0.1 advert C0:FF:EE:00:00:07 rssi=-50 name=Window"));
    for (bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "server hangs" : "server answers");
        const size_t row = hangs ? 2 : 1;
        const std::string name = hangs ? "hung" : "calm";
        if (hangs)
            server_->stall();
        NotifySocket notify;
        auto& node = startNode(name, {{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "1000000"}});
        ASSERT_TRUE(waitForUploads([&](const auto&) {
            return notify.count("READY=1") == 1 && notify.count("STATUS=listening; ") >= 1 &&
                   notify.count("WATCHDOG=1") >= 2 && !recordsNamed(uploads(name), "Window").empty();
        })) << testing::PrintToString(node.lines());

        // Into the next window, with more of the device heard in it.
        const size_t before = uploads(name).size();
        ASSERT_TRUE(waitForUploads([&](const auto&) { return uploads(name).size() > before; }));
        waitForUploads([](const auto&) { return false; }, 600ms);
        const double heardTs = newestTs(recordsNamed(uploads(name), "Window"));
        const double signalled = seconds();
        node.signal(SIGTERM);
        ASSERT_TRUE(node.waitExit(10s));
        const double stopS = seconds() - signalled;
        std::cout << "FIGURE stop_s." << name << ": " << stopS << "\n";
        EXPECT_EQ(node.exitCode(), 0) << testing::PrintToString(node.lines());
        // A stop that waited for the server would take its 5 s upload time-out.
        EXPECT_LT(stopS, 4.5);
        EXPECT_GT(newestTs(recordsNamed(uploads(name), "Window")), heardTs) << "the window's readings were not sent";
        EXPECT_EQ(notify.count("STOPPING=1"), 1u);
        EXPECT_TRUE(fake_->process().waitFor([&](const auto&) {
            return explicitly(*fake_, "unregistered ") == row && explicitly(*fake_, "discovery stop ") == row;
        })) << testing::PrintToString(fake_->lines());
    }
}

}  // namespace
}  // namespace brelo
