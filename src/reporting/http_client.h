#pragma once

#include <functional>
#include <optional>
#include <string>

namespace brelo::reporting {

struct HttpRequest {
    std::string baseUrl;      // the server's base URL as the user gave it
    std::string pathSegment;  // appended to the base URL's path as one segment, e.g. "ble/ingest"
    std::string method = "POST";
    std::string contentType;  // the one header the program sets
    std::string body;
    double timeoutS = 5.0;    // total time for the whole transfer
};

struct HttpResult {
    std::optional<std::string> error;  // the transport's own description of what failed
    bool hasResponse = false;          // an HTTP response arrived
    long statusCode = 0;               // 0 without a response
};

// Sends requests without blocking the caller. The completion runs exactly once per request,
// on the main loop, never from inside send().
class HttpClient {
public:
    using Completion = std::function<void(const HttpResult&)>;
    virtual ~HttpClient() = default;
    virtual void send(HttpRequest request, Completion completion) = 0;
};

}  // namespace brelo::reporting
