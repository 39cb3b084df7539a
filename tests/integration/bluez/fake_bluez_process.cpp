#include "fake_bluez_process.h"

#include <stdexcept>

namespace brelo::test {

FakeBluez::FakeBluez(const PrivateBus& bus, std::vector<std::string> extraArgs)
    : process_(
          [&] {
              std::vector<std::string> argv{builtPath("tools/fake_bluez/fake-bluez"), "--bus", bus.address()};
              argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
              return argv;
          }(),
          ChildProcess::Options{.environment = {}, .mergeStderr = true}) {
    if (!process_.waitForLine("ready", 10s))
        throw std::runtime_error("fake-bluez did not get ready");
}

void FakeBluez::send(const std::string& lines) { process_.writeStdin(lines.back() == '\n' ? lines : lines + "\n"); }

bool FakeBluez::run(const std::string& lines, std::chrono::milliseconds timeout) {
    std::string marker = "sync-" + std::to_string(++marker_);
    send(lines);
    send("echo " + marker);
    return process_.waitFor(
        [&](const std::vector<std::string>& all) {
            for (auto& l : all)
                if (l == marker)
                    return true;
            return false;
        },
        timeout);
}

bool FakeBluez::waitForCount(const std::string& text, size_t n, std::chrono::milliseconds timeout) {
    return process_.waitFor([&](const std::vector<std::string>&) { return process_.countLines(text) >= n; }, timeout);
}

}  // namespace brelo::test
