#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "answer_policy.h"
#include "known_devices.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace brelo::sink {

// The local stand-in for the brelo server: takes uploads at <any base>/ble/ingest, checks
// each body, answers as its AnswerPolicy says and keeps the table of devices it was told
// about. Handlers run on the HTTP server's worker threads; every piece of shared state is
// behind one mutex.
class SinkServer {
public:
    struct Options {
        Answer standing;              // the answer when no window is in force
        double failAfterS = 0;        // a first window: from this long after start ...
        double failForS = 0;          // ... for this long (0: none) ...
        int failStatus = 503;         // ... answering this
        bool quiet = false;           // no line per accepted upload
        std::string jsonLogPath;      // one JSON line per accepted upload; empty for none
        size_t tableCapacity = 1000;  // most devices the table keeps
    };

    explicit SinkServer(Options options);
    ~SinkServer();
    SinkServer(const SinkServer&) = delete;
    SinkServer& operator=(const SinkServer&) = delete;

    // Binds host:port (port 0: any free port); the bound port, or -1 when binding failed.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false when serving failed.
    bool serve();
    bool running() const;
    // Ends serve(): releases requests held unanswered, closes the listening socket.
    void stop();

    // Called now and then from a thread of the caller's: announces the end of a window.
    void tick();
    // Writes the table of known devices to standard output.
    void printTable();
    // Runs one control command ("status 503 30", "hang 10", "reset", "table", "stats");
    // returns what it did, for people.
    std::string command(const std::string& line);

private:
    void ingest(const httplib::Request& req, httplib::Response& res);
    void control(const httplib::Request& req, httplib::Response& res);
    std::string applyControl(const std::string& what, const std::string& value, double forS, double afterS);
    std::string statsJson();
    void announceLocked(AnswerPolicy::Clock::time_point now);

    Options options_;
    std::unique_ptr<httplib::Server> http_;

    std::mutex mutex_;
    std::condition_variable changed_;  // answer policy changed, or stopping
    bool stopping_ = false;
    AnswerPolicy policy_;
    Answer announced_;
    KnownDevices known_;
    std::FILE* jsonLog_ = nullptr;
    struct Stats {
        uint64_t uploads = 0;    // requests to the ingest path
        uint64_t rejected = 0;   // answered 400: the body or request was at fault
        uint64_t accepted = 0;   // answered 2xx
        uint64_t refused = 0;    // sound, but answered otherwise as told
        uint64_t devices = 0;    // records in accepted uploads
        uint64_t replayed = 0;   // of which replayed
        uint64_t withDevices = 0;  // accepted uploads with at least one record
    } stats_;
};

// Writes one timestamped line of the sink to standard output.
void say(const std::string& message);

}  // namespace brelo::sink
