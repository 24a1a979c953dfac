// The update check against a real HTTP server on the loopback interface (HttpTestServer).
#include "jobs/UpdateCheck.h"

#include "HttpTestServer.h"
#include "TestDir.h"

#include "support/BuildInfo.h"
#include "support/VersionTools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace quillet;
using quillet::test::HttpTestServer;
using quillet::test::TestDir;

namespace {

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string missing = HttpTestServer::missingTools(); !missing.empty())
            GTEST_SKIP() << "no HTTP server to test against: " << missing;
        _server = std::make_unique<HttpTestServer>(_dir.path());
        ASSERT_TRUE(_server->started()) << _server->failure();
    }

    /// Runs a check of request to its end.
    static UpdateCheckResult check(UpdateCheck::Request request, JobEnd expectedEnd = JobEnd::Finished) {
        auto job = UpdateCheck::checkLatestVersionAt(std::move(request));
        job->startThread();
        job->wait();
        EXPECT_EQ(job->end(), expectedEnd);
        return job->result();
    }

    UpdateCheck::Request requestFor(const std::string &path, const std::string &current) const {
        UpdateCheck::Request request;
        request.pageUrl = _server->url(path);
        request.currentVersion = current;
        return request;
    }

    TestDir _dir;
    std::unique_ptr<HttpTestServer> _server;
};

TEST_F(UpdateCheckTest, comparesTheVersionThePageNamesWithTheRunningOne) {
    struct Case {
        const char *why;
        std::string page;
        std::string current;
        bool newer;
        bool versionNotFound;
        std::string newVersionString;
    };
    const Case cases[] = {
        {"a newer version", "<h1>Quillet <b>2.1.3</b></h1>", "2.1.2", true, false, "2.1.3"},
        {"the same version", "<h1>Quillet 2.1.2</h1>", "2.1.2", false, false, "2.1.2"},
        {"an older version", "<h1>Quillet 1.9</h1>", "2.1.2", false, false, "2.1.2"},
        {"numbers compared by value", "Quillet - 1.10 for Linux", "1.9", true, false, "1.10"},
        {"the release of the running pre-release", "Quillet 1.5", "1.5b2", true, false, "1.5"},
        {"a pre-release of the running release", "Quillet 2.0b3", "2.0", false, false, "2.0"},
        {"a number without a point, then the version", "Quillet 2 ... Quillet 3.0", "2.9", true, false, "3.0"},
        {"the title without a version", "<p>Quillet for Linux</p>", "2.1.2", false, true, "2.1.2"},
        {"no title at all", "<p>Nothing here</p>", "2.1.2", false, true, "2.1.2"},
    };
    int page = 0;
    for (const Case &c : cases) {
        const std::string name = "download" + std::to_string(++page) + ".html";
        _server->addPage(name, c.page);
        const UpdateCheckResult result = check(requestFor("/page/" + name, c.current));
        EXPECT_EQ(result.newVersionAvailable, c.newer) << c.why;
        EXPECT_EQ(result.versionNotFound, c.versionNotFound) << c.why;
        EXPECT_FALSE(result.urlNotFound) << c.why << ": " << result.failure;
        EXPECT_EQ(result.newVersionString, c.newVersionString) << c.why;
        if (c.versionNotFound)
            EXPECT_NE(result.failure.find("no version follows \"Quillet \" on the page"), std::string::npos)
                << c.why << ": " << result.failure;
        else
            EXPECT_EQ(result.failure, "") << c.why;
    }
}

TEST_F(UpdateCheckTest, aPageThatCannotBeReadOnlyMeansNoNewerVersionIsKnown) {
    struct Case {
        const char *why;
        std::string url;
        std::string reason;
    };
    _server->addPage("empty.html", "");
    const Case cases[] = {
        {"no such page", _server->url("/missing"), "HTTP status 404"},
        {"an empty page", _server->url("/page/empty.html"), "the page is empty"},
        {"nothing listens", test::refusingUrl(), "cannot connect"},
        {"a server that never answers", _server->url("/hang"), "no whole answer within 1 s"},
        {"plain HTTP off this computer", "http://example.com/download.html", "only https://"},
    };
    for (const Case &c : cases) {
        UpdateCheck::Request request;
        request.pageUrl = c.url;
        request.currentVersion = "2.1.2";
        request.timeout = std::chrono::seconds(1);
        const UpdateCheckResult result = check(request);
        EXPECT_TRUE(result.urlNotFound) << c.why;
        EXPECT_FALSE(result.newVersionAvailable) << c.why;
        EXPECT_FALSE(result.versionNotFound) << c.why;
        EXPECT_EQ(result.newVersionString, "2.1.2") << c.why;
        EXPECT_NE(result.failure.find(c.url), std::string::npos) << c.why << ": " << result.failure;
        EXPECT_NE(result.failure.find(c.reason), std::string::npos) << c.why << ": " << result.failure;
    }
}

TEST_F(UpdateCheckTest, keepsTheCallersWishToHearThatAllIsUpToDate) {
    _server->addPage("download.html", "Quillet 2.1.2");
    for (ConfirmAnyway confirm : {ConfirmAnyway::No, ConfirmAnyway::Yes}) {
        UpdateCheck::Request request = requestFor("/page/download.html", "2.1.2");
        request.confirmAnyway = confirm;
        EXPECT_EQ(check(request).versionConfirmAnyway, confirm == ConfirmAnyway::Yes);
    }
}

TEST_F(UpdateCheckTest, postsTheCheckedNotificationWithItsIdOnceTheResultIsFinal) {
    _server->addPage("download.html", "Quillet 9.0");
    NotificationCenter center;
    UpdateCheck::Request request = requestFor("/page/download.html", "2.1.2");
    request.center = &center;
    auto job = UpdateCheck::checkLatestVersionAt(request);
    std::atomic<int> posts{0};
    std::atomic<bool> resultWasFinal{false};
    ScopedObserver observer(center, kVersionCheckedNotification, [&](const Notification &notification) {
        const JobId *id = notification.objectAs<JobId>();
        if (id && *id == job->id()) {
            resultWasFinal = job->result().newVersionAvailable && job->result().newVersionString == "9.0";
            ++posts;
        }
    });
    job->startThread();
    job->wait();
    EXPECT_EQ(posts.load(), 1);
    EXPECT_TRUE(resultWasFinal.load());
}

TEST_F(UpdateCheckTest, aCancelledCheckEndsWithoutWaitingForThePage) {
    // Cancelled before the request goes out, and while the server keeps it waiting.
    for (auto delay : {std::chrono::milliseconds(0), std::chrono::milliseconds(300)}) {
        UpdateCheck::Request request = requestFor("/hang", "2.1.2");
        request.timeout = std::chrono::seconds(60);
        auto job = UpdateCheck::checkLatestVersionAt(request);
        job->startThread();
        std::this_thread::sleep_for(delay);
        job->cancelThread();
        job->wait();
        EXPECT_EQ(job->end(), JobEnd::Cancelled);
        const UpdateCheckResult result = job->result();
        EXPECT_TRUE(result.urlNotFound);
        EXPECT_FALSE(result.newVersionAvailable);
        EXPECT_EQ(result.newVersionString, "2.1.2");
        EXPECT_NE(result.failure.find("cancelled"), std::string::npos) << result.failure;
    }
}

TEST_F(UpdateCheckTest, beforeItEndsTheResultIsThatOfNoCheck) {
    auto job = UpdateCheck::checkLatestVersionAt(requestFor("/hang", "2.1.2"));
    const UpdateCheckResult result = job->result();
    EXPECT_FALSE(result.newVersionAvailable || result.versionNotFound || result.urlNotFound);
    EXPECT_EQ(result.newVersionString, "2.1.2");
    EXPECT_EQ(result.failure, "not checked yet");
}

TEST_F(UpdateCheckTest, theRequestDefaultsToTheBuildsPageTitleAndVersion) {
    _server->addPage("download.html", "Quillet 9999.0");
    test::ScopedEnv page("QUILLET_UPDATE_URL", _server->url("/page/download.html"));
    EXPECT_EQ(defaultUpdatePageUrl(), _server->url("/page/download.html"));
    UpdateCheck::Request request;
    EXPECT_EQ(request.pageUrl, _server->url("/page/download.html"));
    EXPECT_EQ(request.title, "Quillet ");
    EXPECT_EQ(request.currentVersion, applicationVersion());
    EXPECT_EQ(request.confirmAnyway, ConfirmAnyway::No);
    EXPECT_EQ(request.timeout, std::chrono::seconds(10));
    const UpdateCheckResult result = check(request);
    EXPECT_TRUE(result.newVersionAvailable) << result.failure;
    EXPECT_EQ(result.newVersionString, "9999.0");
}

TEST(BuildInfo, theVersionIsTheProjectsAndThePageTheConfiguredOneUnlessTheEnvironmentSaysOtherwise) {
    EXPECT_EQ(applicationVersion(), QUILLET_TEST_PROJECT_VERSION);
    {
        test::ScopedEnv unset("QUILLET_UPDATE_URL", "");
        EXPECT_EQ(defaultUpdatePageUrl(), QUILLET_TEST_UPDATE_URL);
    }
    test::ScopedEnv set("QUILLET_UPDATE_URL", "https://mirror.example/quillet.html");
    EXPECT_EQ(defaultUpdatePageUrl(), "https://mirror.example/quillet.html");
}

} // namespace
