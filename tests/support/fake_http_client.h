#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "reporting/http_client.h"

namespace brelo::test {

// Records every request and lets the test complete them one by one, in any order.
class FakeHttpClient final : public reporting::HttpClient {
public:
    struct Call {
        reporting::HttpRequest request;
        Completion completion;  // empty once completed
    };

    void send(reporting::HttpRequest request, Completion completion) override {
        calls.push_back({std::move(request), std::move(completion)});
    }

    // Runs the completion of the index-th request (in order of sending), once.
    void complete(size_t index, const reporting::HttpResult& result) {
        Completion completion = std::move(calls.at(index).completion);
        calls.at(index).completion = nullptr;
        if (!completion)
            throw std::logic_error("request already completed");
        completion(result);
    }

    static reporting::HttpResult status(long code) { return {.error = std::nullopt, .hasResponse = true, .statusCode = code}; }
    static reporting::HttpResult transportError(std::string text) {
        return {.error = std::move(text), .hasResponse = false, .statusCode = 0};
    }

    std::vector<Call> calls;
};

}  // namespace brelo::test
