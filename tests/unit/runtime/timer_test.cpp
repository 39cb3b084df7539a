#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "runtime/event_loop.h"
#include "runtime/service_notifier.h"

namespace brelo {
namespace {

using runtime::nextDueTime;
using namespace std::chrono_literals;

TEST(NextDueTime, KeepsThePhaseAndSkipsMissedTicks) {
    EXPECT_DOUBLE_EQ(nextDueTime(2, 2, 2.001), 4);     // on time
    EXPECT_DOUBLE_EQ(nextDueTime(2, 2, 3.9), 4);       // late, still before the next tick
    EXPECT_DOUBLE_EQ(nextDueTime(2, 2, 4.0), 6);       // exactly on the next tick: that one is missed
    EXPECT_DOUBLE_EQ(nextDueTime(2, 2, 9.5), 10);      // three ticks missed, none replayed
    EXPECT_DOUBLE_EQ(nextDueTime(10, 10, 10), 20);
}

// Deferred work runs later, in order, past a callback that throws; a one-shot timer is
// cancelled by dropping its handle.
TEST(EventLoop, DeferredWorkInOrderThrowsContainedAndDroppedTimersNeverFire) {
    runtime::EventLoop loop;
    std::vector<int> order;
    loop.defer([&] { order.push_back(1); });
    loop.defer([&] { throw std::runtime_error("contained"); });
    loop.defer([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    bool fired = false, other = false;
    auto cancelled = loop.after(0.01, [&] { fired = true; });
    auto kept = loop.after(0.05, [&] { other = true; });
    cancelled.reset();
    EXPECT_TRUE(loop.runUntil([&] { return other; }, 10s));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(fired);
}

// systemd kills a service whose pings are WATCHDOG_USEC apart: they go at half of it, and
// only for the process that WATCHDOG_PID names.
TEST(ServiceNotifier, PingsTheWatchdogAtHalfItsInterval) {
    runtime::EventLoop loop;
    setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
    setenv("WATCHDOG_USEC", "30000000", 1);
    unsetenv("WATCHDOG_PID");
    EXPECT_EQ(runtime::ServiceNotifier(loop).watchdogIntervalS(), 15.0);
    setenv("WATCHDOG_PID", "1", 1);
    EXPECT_EQ(runtime::ServiceNotifier(loop).watchdogIntervalS(), std::nullopt);
    unsetenv("WATCHDOG_PID");
    unsetenv("WATCHDOG_USEC");
    unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace brelo
