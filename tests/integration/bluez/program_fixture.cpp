#include "program_fixture.h"

#include <algorithm>
#include <thread>

namespace brelo::test {

void ProgramOnFakeBluez::SetUp() {
    if (!PrivateBus::available())
        GTEST_SKIP() << "dbus-daemon is not installed; these tests need a private bus";
    bus_ = std::make_unique<PrivateBus>();
    server_ = std::make_unique<LoopbackServer>();
    fake_ = std::make_unique<fakebluez::ThreadedDouble>(bus_->address());
}

ChildProcess& ProgramOnFakeBluez::startNode(const std::string& node,
                                            std::vector<std::pair<std::string, std::string>> environment) {
    environment.emplace_back("DBUS_SYSTEM_BUS_ADDRESS", bus_->address());
    nodes_.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{builtPath("brelo-ble"), "--brelo", server_->url(), "--node", node, "--room", "hall"},
        ChildProcess::Options{.environment = std::move(environment), .mergeStderr = true}));
    return *nodes_.back();
}

std::vector<nlohmann::json> ProgramOnFakeBluez::uploads(const std::string& node) const {
    std::vector<nlohmann::json> out;
    for (auto& request : server_->received()) {
        nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_object() && (node.empty() || body.value("node", "") == node))
            out.push_back(std::move(body));
    }
    return out;
}

std::vector<nlohmann::json> ProgramOnFakeBluez::records(const std::string& node) const {
    std::vector<nlohmann::json> out;
    for (auto& body : uploads(node))
        if (body.contains("devices") && body["devices"].is_array())
            for (auto& record : body["devices"])
                out.push_back(record);
    return out;
}

bool ProgramOnFakeBluez::waitForUploads(const std::function<bool(const std::vector<nlohmann::json>&)>& pred,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred(uploads())) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred(uploads());
        // The server records uploads on its own threads; meanwhile keep the nodes' pipes
        // drained and look again shortly.
        for (auto& node : nodes_)
            node->waitFor([](const auto&) { return false; }, 50ms);
        if (nodes_.empty())
            std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool ProgramOnFakeBluez::waitForLog(ChildProcess& node, const std::string& text, size_t n,
                                    std::chrono::milliseconds timeout) {
    return node.waitFor([&](const auto&) { return node.countLines(text) >= n; }, timeout);
}

std::vector<nlohmann::json> recordsNamed(const std::vector<nlohmann::json>& uploads, const std::string& name) {
    std::vector<nlohmann::json> out;
    for (const auto& body : uploads)
        for (const auto& record : body.value("devices", nlohmann::json::array()))
            if (record.value("name", "") == name)
                out.push_back(record);
    return out;
}

size_t countStatus(const std::vector<nlohmann::json>& uploads, const std::string& status) {
    return static_cast<size_t>(std::count_if(uploads.begin(), uploads.end(), [&](const nlohmann::json& b) {
        return b.value("status", "") == status;
    }));
}

}  // namespace brelo::test
