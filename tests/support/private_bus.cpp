#include "support/private_bus.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace brelo::test {
namespace {

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

bool PrivateBus::available() { return access(kDaemon, X_OK) == 0; }

PrivateBus::PrivateBus() {
    // A fixed socket path of our own, so that a restarted daemon listens at the same address.
    char dir[] = "/tmp/brelo-bus-XXXXXX";
    if (!mkdtemp(dir))
        throw std::runtime_error("mkdtemp failed");
    socketPath_ = std::string(dir) + "/bus";
    configPath_ = std::string(dir) + "/bus.conf";
    std::string config = readFile(sourcePath("tests/support/bus.conf"));
    auto at = config.find("unix:tmpdir=/tmp");
    if (at == std::string::npos)
        throw std::runtime_error("tests/support/bus.conf has no listen address");
    config.replace(at, std::string("unix:tmpdir=/tmp").size(), "unix:path=" + socketPath_);
    std::ofstream(configPath_) << config;
    start(socketPath_);
}

PrivateBus::~PrivateBus() {
    daemon_.reset();
    unlink(socketPath_.c_str());
    unlink(configPath_.c_str());
    rmdir(socketPath_.substr(0, socketPath_.rfind('/')).c_str());
}

void PrivateBus::start(const std::string&) {
    unlink(socketPath_.c_str());
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{kDaemon, "--config-file=" + configPath_,
                                                                      "--nofork", "--nopidfile", "--print-address=1"});
    auto line = daemon_->waitForLine("unix:", 10s);
    if (!line)
        throw std::runtime_error("dbus-daemon did not start");
    address_ = daemon_->lines()[*line];
}

void PrivateBus::restart() {
    daemon_.reset();
    start(socketPath_);
}

}  // namespace brelo::test
