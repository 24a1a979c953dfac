#include "jobs/JobNotifications.h"

#include "jobs/CopyFileUtil.h"
#include "jobs/DeleteFolderUtil.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;

/// "name object" of everything posted under names, the object as a job id or a percentage.
class Posted {
public:
    Posted(NotificationCenter &center, const JobNotificationNames &names) {
        for (const char *name : {names.stats, names.finished, names.cancelled, names.paused, names.error})
            _observers.push_back(std::make_unique<ScopedObserver>(center, name, [this](const Notification &n) {
                if (const JobId *job = n.objectAs<JobId>())
                    _lines.push_back(n.name + " job " + std::to_string(*job));
                else if (const double *percent = n.objectAs<double>())
                    _lines.push_back(n.name + " " + std::to_string(static_cast<int>(*percent)));
                else
                    _lines.push_back(n.name + " ?");
            }));
    }
    std::vector<std::string> lines() { return std::exchange(_lines, {}); }

private:
    std::vector<std::string> _lines;
    std::vector<std::unique_ptr<ScopedObserver>> _observers;
};

// Each typed event becomes the notification the workers have always posted, carrying the
// job's id (never a pointer to the job) or the percentage; a job that could not start posts
// nothing more. The same for the names of both workers.
TEST(JobNotificationsTest, eachEventIsPostedUnderItsNameWithTheJobsId) {
    for (const JobNotificationNames &names : {CopyFileUtil::kNotificationNames, DeleteFolderUtil::kNotificationNames}) {
        SCOPED_TRACE(names.finished);
        NotificationCenter center;
        Posted posted(center, names);
        JobNotifications adapter(names, 42, center);
        const std::string id = " job 42";
        struct Case {
            std::function<void()> event;
            std::vector<std::string> expected;
        } cases[] = {
            {[&] { adapter.progress(37.5); }, {std::string(names.stats) + " 37"}},
            {[&] { adapter.paused(); }, {names.paused + id}},
            {[&] { adapter.cancelled(); }, {names.cancelled + id}},
            {[&] { adapter.itemDone(ItemOutcome{}); }, {}},
            {[&] { adapter.finished(JobEnd::Finished); }, {names.finished + id}},
            {[&] { adapter.finished(JobEnd::Cancelled); }, {names.finished + id}},
            {[&] { adapter.finished(JobEnd::Failed); }, {names.error + id}},
            {[&] { adapter.finished(JobEnd::NotStarted); }, {}},
        };
        for (const Case &c : cases) {
            c.event();
            EXPECT_EQ(posted.lines(), c.expected);
        }
    }
}

// A worker posts through the adapter to the centre it was given, and its notifications name
// it by id: a listener compares ids, and holds nothing that could outlive the worker.
TEST(JobNotificationsTest, aWorkerPostsToItsCentreUnderItsOwnId) {
    test::TestDir dir;
    dir.writeFile("src/.x_a", "a");
    NotificationCenter center;
    Posted copies(center, CopyFileUtil::kNotificationNames);
    Posted deletions(center, DeleteFolderUtil::kNotificationNames);
    auto copy = CopyFileUtil::create(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible, &center);
    auto quiet = CopyFileUtil::create(CopyThreadType::Copy, dir / "src", dir / "quiet", Visibility::Visible, nullptr);
    auto removal = DeleteFolderUtil::create(dir / "gone", RemoveRoot::Yes, &center);
    for (const auto &job : std::vector<std::shared_ptr<Job>>{copy, quiet, removal}) {
        job->startThread();
        ASSERT_TRUE(job->waitFor(30s));
    }
    EXPECT_NE(copy->id(), removal->id());
    EXPECT_EQ(copies.lines(), std::vector<std::string>{std::string(CopyFileUtil::kThreadFinishedNotification) +
                                                       " job " + std::to_string(copy->id())})
        << "the worker made without a centre posts nothing";
    EXPECT_EQ(deletions.lines(), std::vector<std::string>{std::string(DeleteFolderUtil::kErrorNotification) + " job " +
                                                          std::to_string(removal->id())});
    EXPECT_EQ(test::readFileText(dir / "quiet/a"), "a");
}

} // namespace
} // namespace quillet
