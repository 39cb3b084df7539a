#include "runtime/log_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include <unistd.h>

namespace brelo {
namespace {

// Local time, a space, the message verbatim (even an embedded line feed), a line feed; the
// date changes at local midnight.
TEST(LogLine, LocalTimeSpaceMessageLineFeed) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // no tzdata needed
    tzset();
    EXPECT_EQ(formatLogLine(1714600799, "status listening"), "2024-05-01 23:59:59 status listening\n");
    EXPECT_EQ(formatLogLine(1714600800, "a\nb"), "2024-05-02 00:00:00 a\nb\n");
    setenv("TZ", "UTC", 1);
    tzset();
}

// Two threads log at once into a pipe: every line that comes out is whole.
TEST(LogLine, ConcurrentWritersNeverMixWithinALine) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int savedStdout = dup(STDOUT_FILENO);
    ASSERT_GE(dup2(fds[1], STDOUT_FILENO), 0);
    close(fds[1]);

    std::string output;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            output.append(buffer, static_cast<size_t>(n));
    });
    constexpr int kLines = 2000;
    auto writer = [](char c) {
        std::string message(200, c);
        for (int i = 0; i < kLines; ++i)
            log(message);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    dup2(savedStdout, STDOUT_FILENO);  // closes the pipe's last write end: the reader sees EOF
    close(savedStdout);
    reader.join();
    close(fds[0]);

    std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (a{200}|b{200}))");
    size_t lines = 0;
    for (size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1, ++lines)
        ASSERT_TRUE(std::regex_match(output.substr(start, end - start), whole)) << output.substr(start, end - start);
    EXPECT_EQ(lines, 2u * kLines);
}

TEST(WriteAll, WritesEverythingThroughShortWrites) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::string big(1 << 20, 'x');
    std::string got;
    std::thread reader([&] {
        char buffer[1000];  // small reads force the writer into many partial writes
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
    });
    EXPECT_TRUE(writeAll(fds[1], big));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_FALSE(writeAll(-1, "x"));
}

}  // namespace
}  // namespace brelo
