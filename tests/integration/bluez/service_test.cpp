// brelo-ble as systemd runs it: the notify protocol, and SIGTERM in the middle of a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "program_fixture.h"

namespace brelo {
namespace {

using namespace std::chrono_literals;
using test::recordsNamed;
using ServiceOnFakeBluez = test::ProgramOnFakeBluez;

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
struct NotifySocket {
    sockaddr_un address{AF_UNIX, {}};
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<std::string> received;

    NotifySocket() {
        std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/brelo-notify-%d", getpid());
        unlink(address.sun_path);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << address.sun_path;
    }
    ~NotifySocket() { close(fd), unlink(address.sun_path); }
    size_t count(const std::string& prefix) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            received.emplace_back(buffer, static_cast<size_t>(n));
        return std::count_if(received.begin(), received.end(), [&](auto& m) { return m.rfind(prefix, 0) == 0; });
    }
};

double newestTs(const std::vector<nlohmann::json>& records) {
    double newest = 0;
    for (const auto& r : records)
        newest = std::max(newest, r.value("ts", 0.0));
    return newest;
}

// Lines of the double from `from` on for calls the node made itself, not for its connection
// going away.
size_t explicitly(fakebluez::ThreadedDouble& fake, const std::string& what, size_t from) {
    const auto lines = fake.lines();
    return std::count_if(lines.begin() + std::min(from, lines.size()), lines.end(), [&](const std::string& l) {
        return l.rfind(what, 0) == 0 && l.find("client gone") == std::string::npos;
    });
}

TEST_F(ServiceOnFakeBluez, NotifiesSystemdAndStopsInOrderWhetherTheServerAnswersOrHangs) {
    ASSERT_TRUE(fake_->run("adapter add hci0\nevery 0.1 advert C0:FF:EE:00:00:07 rssi=-50 name=Window"));
    for (size_t row : {1, 2}) {
        const std::string name = row == 1 ? "calm" : "hung";
        SCOPED_TRACE(name);
        if (row == 2)
            server_->stall();
        NotifySocket notify;
        auto& node = startNode(name, {{"NOTIFY_SOCKET", notify.address.sun_path}, {"WATCHDOG_USEC", "1000000"}});
        ASSERT_TRUE(waitForUploads([&](const auto&) {
            return notify.count("READY=1") == 1 && notify.count("STATUS=listening; ") >= 1 &&
                   notify.count("WATCHDOG=1") >= 2 && !recordsNamed(uploads(name), "Window").empty();
        })) << testing::PrintToString(node.lines());

        // Into the next window, with more of the device heard in it.
        const size_t before = uploads(name).size();
        ASSERT_TRUE(waitForUploads([&](const auto&) { return uploads(name).size() > before; }));
        waitForUploads([](const auto&) { return false; }, 600ms);
        const double heardTs = newestTs(recordsNamed(uploads(name), "Window"));
        const size_t fakeFrom = fake_->lines().size();
        const auto signalled = std::chrono::steady_clock::now();
        node.signal(SIGTERM);
        ASSERT_TRUE(node.waitExit(10s));
        const std::chrono::duration<double> stop = std::chrono::steady_clock::now() - signalled;
        std::cout << "FIGURE stop_s." << name << ": " << stop.count() << "\n";
        EXPECT_EQ(node.exitCode(), 0) << testing::PrintToString(node.lines());
        EXPECT_LT(stop.count(), 4.5);  // a stop that waited for the server would take its 5 s time-out
        EXPECT_GT(newestTs(recordsNamed(uploads(name), "Window")), heardTs) << "the window's readings were not sent";
        EXPECT_EQ(notify.count("STOPPING=1"), 1u);
        EXPECT_TRUE(fake_->waitFor([&] {
            // Discovery is also restarted every window, so only the last discovery line tells.
            const auto lines = fake_->lines();
            auto last =
                std::find_if(lines.rbegin(), lines.rend(), [](auto& l) { return l.rfind("discovery ", 0) == 0; });
            return explicitly(*fake_, "unregistered ", fakeFrom) == 1 && last != lines.rend() &&
                   explicitly(*fake_, "discovery stop ", fakeFrom) >= 1 && last->rfind("discovery stop ", 0) == 0;
        })) << testing::PrintToString(fake_->lines());
    }
}

}  // namespace
}  // namespace brelo
