#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "reporting/curl/url.h"

namespace brelo::reporting {
namespace {

TEST(AppendPathSegment, OneSlashBetweenPathAndSegmentQueryKept) {
    struct Case {
        std::string base;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"http://h:8791", "http://h:8791/ble/ingest"},
        {"http://h:8791/", "http://h:8791/ble/ingest"},
        {"http://h/base/", "http://h/base/ble/ingest"},
        {"http://h/base", "http://h/base/ble/ingest"},
        {"http://h/base/?key=a%20b&x=1", "http://h/base/ble/ingest?key=a%20b&x=1"},
        {"https://[::1]:8791/x", "https://[::1]:8791/x/ble/ingest"},
        // No scheme: http, also where curl's guess would pick another protocol by the host name.
        {"h:8791", "http://h:8791/ble/ingest"},
        {"192.168.1.5:8791/base", "http://192.168.1.5:8791/base/ble/ingest"},
        {"ftp.example.lan:8791", "http://ftp.example.lan:8791/ble/ingest"},
        {"", std::nullopt},
        {"http://", std::nullopt},
        {"http://h:99999", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(appendPathSegment(c.base, "ble/ingest"), c.expected);
        EXPECT_EQ(urlParses(c.base), c.expected.has_value());
    }
}

TEST(UrlParses, AnySchemeIsAUrl) {
    EXPECT_TRUE(urlParses("gopher://h/x"));
    EXPECT_EQ(appendPathSegment("gopher://h/x", "ble/ingest"), "gopher://h/x/ble/ingest");
}

}  // namespace
}  // namespace brelo::reporting
