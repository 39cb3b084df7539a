// brelo-sink: a local stand-in for the brelo server, for tests, benchmarks and the demo.
// It takes uploads at POST <any base>/ble/ingest, says precisely what is wrong with a bad
// body, answers as told (204, another status, or not at all) and shows what it was told.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sink_server.h"

namespace {

using brelo::sink::parseSeconds;
using brelo::sink::SinkServer;

const char* const kUsage =
    "usage: brelo-sink [--listen HOST:PORT] [--status CODE] [--hang]\n"
    "                  [--fail-for SECONDS [--fail-status CODE] [--fail-after SECONDS]]\n"
    "                  [--quiet] [--json-log FILE] [--table] [--table-every SECONDS] [--table-max N]\n"
    "\n"
    "  --listen HOST:PORT    where to listen (default 127.0.0.1:8791; port 0 picks a free one)\n"
    "  --status CODE         answer every sound upload with CODE (default 204)\n"
    "  --hang                hold every upload open without answering\n"
    "  --fail-for SECONDS    answer --fail-status (default 503) for SECONDS, starting\n"
    "                        --fail-after SECONDS after start (default 0), then recover\n"
    "  --quiet               no line per upload (faults are still shown)\n"
    "  --json-log FILE       append one JSON line per sound upload: received_at, path,\n"
    "                        answer, replayed, body\n"
    "  --table               print the table of known devices every 10 s\n"
    "  --table-every SECONDS print it every SECONDS\n"
    "  --table-max N         keep at most N devices in the table (default 1000)\n"
    "\n"
    "A bad body is answered 400 with every fault, one per line, and the first is shown on\n"
    "standard output. While running, these change its behaviour (on standard input, or as\n"
    "POST /control?status=503&for=30, ?hang=1&for=10, ?reset=1, ?table=1):\n"
    "  status CODE [SECONDS] | hang [SECONDS] | reset | table | stats\n"
    "GET /stats and GET /table answer with JSON.\n";

struct CommandLine {
    std::string host = "127.0.0.1";
    int port = 8791;
    SinkServer::Options sink;
    double tableEveryS = 0;
};

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty())
        std::fprintf(stderr, "brelo-sink: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    std::exit(2);
}

double seconds(const std::string& option, const std::string& text) {
    if (auto s = parseSeconds(text))
        return *s;
    usage(option + " wants a number of seconds, not \"" + text + "\"");
}

long integer(const std::string& option, const std::string& text, long lo, long hi) {
    try {
        size_t used = 0;
        long v = std::stol(text, &used);
        if (used == text.size() && v >= lo && v <= hi)
            return v;
    } catch (...) {
    }
    usage(option + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not \"" +
          text + "\"");
}

CommandLine parse(int argc, char** argv) {
    CommandLine cl;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                usage(a + " wants a value");
            return args[++i];
        };
        if (a == "--listen") {
            std::string v = value();
            size_t colon = v.rfind(':');
            std::string host = colon == std::string::npos ? std::string() : v.substr(0, colon);
            if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
                host = host.substr(1, host.size() - 2);
            if (!host.empty())
                cl.host = host;
            cl.port = static_cast<int>(integer("--listen", colon == std::string::npos ? v : v.substr(colon + 1), 0, 65535));
        } else if (a == "--status") {
            cl.sink.standing.status = static_cast<int>(integer(a, value(), 200, 599));
        } else if (a == "--hang") {
            cl.sink.standing.hang = true;
        } else if (a == "--fail-for") {
            cl.sink.failForS = seconds(a, value());
        } else if (a == "--fail-status") {
            cl.sink.failStatus = static_cast<int>(integer(a, value(), 200, 599));
        } else if (a == "--fail-after") {
            cl.sink.failAfterS = seconds(a, value());
        } else if (a == "--quiet") {
            cl.sink.quiet = true;
        } else if (a == "--json-log") {
            cl.sink.jsonLogPath = value();
        } else if (a == "--table") {
            cl.tableEveryS = 10;
        } else if (a == "--table-every") {
            cl.tableEveryS = seconds(a, value());
        } else if (a == "--table-max") {
            cl.sink.tableCapacity = static_cast<size_t>(integer(a, value(), 1, 10000000));
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            usage("unknown argument \"" + a + "\"");
        }
    }
    return cl;
}

// Signals, commands on standard input, the periodic table and the end of a failure window,
// all on one thread that polls. It ends when told through `wake`.
void controlLoop(SinkServer& sink, int signalFd, int wakeFd, double tableEveryS) {
    using Clock = std::chrono::steady_clock;
    bool stdinOpen = true;
    bool stopAsked = false;
    bool stopped = false;
    std::string partial;
    auto nextTable = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tableEveryS));
    for (;;) {
        pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        int r = poll(fds, 3, 250);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == sizeof info)
                stopAsked = true;
        }
        if (stdinOpen && fds[2].revents) {
            char buffer[1024];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stdinOpen = false;  // a closed or absent stdin just means no commands
            } else {
                partial.append(buffer, static_cast<size_t>(n));
                for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                    std::string line = partial.substr(0, nl);
                    partial.erase(0, nl + 1);
                    std::string answer = sink.command(line);
                    if (answer.rfind("bad", 0) == 0 || answer.rfind("commands", 0) == 0 || answer.front() == '{')
                        brelo::sink::say(answer);
                }
                if (partial.size() > 4096)
                    partial.clear();
            }
        }
        // A stop asked for before the server loop started is carried out once it runs.
        if (stopAsked && !stopped && sink.running()) {
            sink.stop();
            stopped = true;
        }
        sink.tick();
        if (tableEveryS > 0 && Clock::now() >= nextTable) {
            sink.printTable();
            nextTable += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tableEveryS));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    // Block the stop signals before any thread starts, so that only the signalfd sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int wake[2];
    if (signalFd < 0 || pipe2(wake, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "brelo-sink: %s\n", std::strerror(errno));
        return 1;
    }

    std::optional<SinkServer> sink;
    try {
        sink.emplace(cl.sink);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brelo-sink: %s\n", e.what());
        return 1;
    }
    int port = sink->bind(cl.host, cl.port);
    if (port < 0) {
        std::fprintf(stderr, "brelo-sink: cannot listen on %s:%d: %s\n", cl.host.c_str(), cl.port, std::strerror(errno));
        return 1;
    }
    std::string where = cl.host.find(':') != std::string::npos ? "[" + cl.host + "]" : cl.host;
    std::string answer = cl.sink.standing.behaviour();
    if (cl.sink.failForS > 0)
        answer += "; " + std::to_string(cl.sink.failStatus) + " for " + std::to_string(static_cast<long>(cl.sink.failForS)) +
                  " s from " + std::to_string(static_cast<long>(cl.sink.failAfterS)) + " s on";
    brelo::sink::say("listening on http://" + where + ":" + std::to_string(port) + " (POST <base>/ble/ingest), " + answer);

    std::thread control(controlLoop, std::ref(*sink), signalFd, wake[0], cl.tableEveryS);
    bool served = sink->serve();
    if (write(wake[1], "x", 1) < 0) {
        // The control thread polls the pipe; a failed write leaves it to the signalfd.
    }
    control.join();
    sink.reset();
    brelo::sink::say("stopped");
    return served ? 0 : 1;
}
