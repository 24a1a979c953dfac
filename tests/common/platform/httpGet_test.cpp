// Reading pages from a real HTTP server on the loopback interface (HttpTestServer).
#include "platform/HttpGet.h"

#include "HttpTestServer.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

using namespace quillet;
using quillet::test::HttpTestServer;
using quillet::test::TestDir;

namespace {

class HttpGetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string missing = HttpTestServer::missingTools(); !missing.empty())
            GTEST_SKIP() << "no HTTP server to test against: " << missing;
        _server = std::make_unique<HttpTestServer>(_dir.path());
        ASSERT_TRUE(_server->started()) << _server->failure();
    }

    TestDir _dir;
    std::unique_ptr<HttpTestServer> _server;
};

TEST_F(HttpGetTest, readsThePageWhole) {
    const std::string page = "<html><body>Quillet <b>2.1.3</b>\n\xe2\x82\xac</body></html>";
    _server->addPage("download.html", page);
    auto body = sys::httpGet(_server->url("/page/download.html"));
    ASSERT_TRUE(body) << body.status().message();
    EXPECT_EQ(*body, page);
}

TEST_F(HttpGetTest, followsAFewRedirects) {
    _server->addPage("download.html", "Quillet 3.0");
    auto body = sys::httpGet(_server->url("/redirect/3/download.html"));
    ASSERT_TRUE(body) << body.status().message();
    EXPECT_EQ(*body, "Quillet 3.0");
}

TEST_F(HttpGetTest, asksForNoCachedCopy) {
    auto body = sys::httpGet(_server->url("/headers"));
    ASSERT_TRUE(body) << body.status().message();
    EXPECT_NE(body->find("Cache-Control: no-cache"), std::string::npos) << *body;
    EXPECT_NE(body->find("Pragma: no-cache"), std::string::npos) << *body;
    EXPECT_NE(body->find("User-Agent: Quillet"), std::string::npos) << *body;
}

TEST_F(HttpGetTest, readsPlainHttpOnThisComputerByAnyOfItsNames) {
    _server->addPage("download.html", "Quillet 3.0");
    const std::string port = _server->url("").substr(std::string("http://127.0.0.1").size());
    auto byName = sys::httpGet("http://localhost" + port + "/page/download.html");
    EXPECT_TRUE(byName) << byName.status().message();
    // The server listens on IPv4 only: [::1] is allowed, and then refused by the system.
    auto overIpv6 = sys::httpGet("http://[::1]" + port + "/page/download.html");
    if (!overIpv6) {
        EXPECT_NE(overIpv6.code(), EPERM) << overIpv6.status().message();
    }
}

TEST_F(HttpGetTest, failuresSayWhatHappenedAndNameTheAddress) {
    struct Case {
        std::string url;
        sys::HttpGetLimits limits;
        int code;
        std::string reason;
    };
    _server->addPage("empty.html", "");
    _server->addPage("download.html", "Quillet 3.0");
    sys::HttpGetLimits shortWait;
    shortWait.timeout = std::chrono::seconds(1);
    sys::HttpGetLimits fewRedirects;
    fewRedirects.maxRedirects = 2;
    sys::HttpGetLimits smallBody;
    smallBody.maxBytes = 1000;
    const Case cases[] = {
        {_server->url("/missing"), {}, EPROTO, "HTTP status 404"},
        {_server->url("/page/empty.html"), {}, ENODATA, "the page is empty"},
        {test::refusingUrl(), {}, ECONNREFUSED, "cannot connect"},
        {_server->url("/hang"), shortWait, ETIMEDOUT, "no whole answer within 1 s"},
        {_server->url("/redirect/3/download.html"), fewRedirects, ELOOP, "more than 2 redirects"},
        {_server->url("/big/5000"), smallBody, EFBIG, "the page is longer than 1000 bytes"},
        {_server->url("/redirect-away"), {}, EPERM, "redirected to http://example.com/: only https://"},
        {"http://example.com/download.html", {}, EPERM, "only https:// addresses are read"},
        {"ftp://127.0.0.1/download.html", {}, EPERM, "only https:// addresses are read"},
        {"file:///etc/passwd", {}, EPERM, "only https:// addresses are read"},
        {"no address at all", {}, EPERM, "not an address that can be read"},
    };
    for (const Case &c : cases) {
        auto body = sys::httpGet(c.url, c.limits);
        ASSERT_FALSE(body) << c.url << " gave " << body->size() << " bytes";
        EXPECT_EQ(body.code(), c.code) << c.url << ": " << body.status().message();
        EXPECT_EQ(body.status().message().rfind(c.url + ": ", 0), 0u) << body.status().message();
        EXPECT_NE(body.status().reason().find(c.reason), std::string::npos) << body.status().message();
    }
}

TEST_F(HttpGetTest, aBodyUpToTheLimitIsRead) {
    sys::HttpGetLimits limits;
    limits.maxBytes = 5012;
    auto body = sys::httpGet(_server->url("/big/5000"), limits);
    ASSERT_TRUE(body) << body.status().message();
    EXPECT_EQ(body->size(), 5012u);
}

TEST_F(HttpGetTest, aStopRequestEndsTheTransfer) {
    std::stop_source stop;
    sys::HttpGetLimits limits;
    limits.timeout = std::chrono::seconds(60);
    limits.stop = stop.get_token();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.request_stop();
    });
    auto body = sys::httpGet(_server->url("/hang"), limits);
    ASSERT_FALSE(body);
    EXPECT_EQ(body.code(), ECANCELED) << body.status().message();
}

} // namespace
