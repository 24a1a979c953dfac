#include "jobs/Job.h"

#include "ChildProcess.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 30s;

/// A job of a number of items, each of which waits until the test lets it be done.
class GatedJob : public Job {
public:
    static std::shared_ptr<GatedJob> create(size_t items) {
        return std::shared_ptr<GatedJob>(new GatedJob(items), Job::Joiner());
    }
    /// Lets the job do n more items.
    void allow(size_t n) {
        {
            std::lock_guard lock(_mutex);
            _allowed += n;
        }
        _changed.notify_all();
    }
    size_t itemsDone() const { return _done.load(); }
    /// Makes child a child of this job, to be started and waited for by run().
    void adoptChild(const std::shared_ptr<Job> &child) {
        adopt(child);
        _child = child;
    }

protected:
    JobEnd run() override {
        if (_child) {
            _child->startThread();
            _child->wait();
        }
        for (size_t i = 0; i < _items; ++i) {
            {
                std::unique_lock lock(_mutex);
                _changed.wait(lock, stopToken(), [&] { return _allowed > i; });
            }
            if (cancelledAfterPause())
                return JobEnd::Cancelled;
            itemDone(ItemOutcome{i, "item " + std::to_string(i), {}, false, sys::Status(), {}});
            ++_done;
            setProgress(static_cast<double>(i + 1) * 100.0 / static_cast<double>(_items));
        }
        return cancelRequested() ? JobEnd::Cancelled : JobEnd::Finished;
    }

private:
    explicit GatedJob(size_t items) : _items(items) {}

    const size_t _items;
    std::mutex _mutex;
    std::condition_variable_any _changed;
    size_t _allowed = 0;
    std::atomic<size_t> _done{0};
    std::shared_ptr<Job> _child;
};

/// Everything a job tells its observer, in order, with the thread of each call.
class Transcript : public JobObserver {
public:
    struct Call {
        std::string what;
        std::thread::id thread;
    };
    void progress(double percent) override { add("progress " + std::to_string(static_cast<int>(percent))); }
    void paused() override { add("paused"); }
    void cancelled() override { add("cancelled"); }
    void itemDone(const ItemOutcome &outcome) override { add("item " + std::to_string(outcome.index)); }
    void finished(JobEnd end) override {
        add(end == JobEnd::Finished    ? "finished"
            : end == JobEnd::Cancelled ? "finished cancelled"
            : end == JobEnd::Failed    ? "finished failed"
                                       : "not started");
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(_mutex);
        return _calls;
    }
    /// The calls but progress.
    std::vector<std::string> events() const {
        std::vector<std::string> names;
        for (const Call &call : calls())
            if (!call.what.starts_with("progress"))
                names.push_back(call.what);
        return names;
    }
    size_t progressCount() const { return calls().size() - events().size(); }

private:
    void add(std::string what) {
        std::lock_guard lock(_mutex);
        _calls.push_back(Call{std::move(what), std::this_thread::get_id()});
    }
    mutable std::mutex _mutex;
    std::vector<Call> _calls;
};

/// Threads of this process.
size_t threadCount() {
    auto count = sys::countDirectoryEntries("/proc/self/task");
    return count ? static_cast<size_t>(*count) : 0;
}

TEST(JobTest, eachItemHasItsOutcomeOnTheJobsThreadAndFinishedComesLast) {
    auto job = GatedJob::create(3);
    auto transcript = std::make_shared<Transcript>();
    job->addObserver(transcript);
    job->allow(3);
    job->startThread();
    job->wait();
    EXPECT_EQ(transcript->events(), (std::vector<std::string>{"item 0", "item 1", "item 2", "finished"}));
    EXPECT_EQ(job->end(), JobEnd::Finished);
    EXPECT_TRUE(job->hasEnded());
    EXPECT_TRUE(job->isCancelled()) << "an ended job counts as cancelled, as the workers always did";
    for (const auto &call : transcript->calls())
        EXPECT_NE(call.thread, std::this_thread::get_id()) << call.what << " came on the caller's thread";
    EXPECT_EQ(transcript->calls().back().what, "finished") << "nothing after finished";
}

TEST(JobTest, progressKeepsComingWhilePausedAndTheJobStandsStill) {
    auto job = GatedJob::create(4);
    auto transcript = std::make_shared<Transcript>();
    job->addObserver(transcript);
    job->allow(1);
    job->startThread();
    ASSERT_TRUE(test::waitFor([&] { return job->itemsDone() == 1; }, kTimeout));
    job->pauseThread();
    // Acknowledged on this thread before pauseThread returned.
    ASSERT_EQ(transcript->events(), (std::vector<std::string>{"item 0", "paused"}));
    for (const auto &call : transcript->calls()) {
        if (call.what == "paused") {
            EXPECT_EQ(call.thread, std::this_thread::get_id());
        }
    }
    EXPECT_TRUE(job->isPaused());

    job->allow(3);
    const size_t before = transcript->progressCount();
    ASSERT_TRUE(test::waitFor([&] { return transcript->progressCount() >= before + 3; }, kTimeout));
    EXPECT_EQ(job->itemsDone(), 1u) << "a paused job does no more items";
    EXPECT_EQ(transcript->calls().back().what, "progress 25");

    job->continueThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(job->itemsDone(), 4u);
    EXPECT_EQ(transcript->events(),
              (std::vector<std::string>{"item 0", "paused", "item 1", "item 2", "item 3", "finished"}));
}

TEST(JobTest, cancelIsAcknowledgedAtOnceAndTheJobEndsCancelled) {
    auto job = GatedJob::create(3);
    auto transcript = std::make_shared<Transcript>();
    job->addObserver(transcript);
    job->allow(1);
    job->startThread();
    ASSERT_TRUE(test::waitFor([&] { return job->itemsDone() == 1; }, kTimeout));
    job->cancelThread();
    // Acknowledged on this thread before cancelThread returned.
    const auto calls = transcript->calls();
    auto acknowledged = std::find_if(calls.begin(), calls.end(), [](const auto &call) { return call.what == "cancelled"; });
    ASSERT_NE(acknowledged, calls.end());
    EXPECT_EQ(acknowledged->thread, std::this_thread::get_id());
    EXPECT_TRUE(job->isCancelled());
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(job->end(), JobEnd::Cancelled);
    EXPECT_EQ(transcript->events(), (std::vector<std::string>{"item 0", "cancelled", "finished cancelled"}));
    // No progress once cancelled.
    const auto all = transcript->calls();
    EXPECT_EQ(all[all.size() - 2].what, "cancelled");
}

// A job is never left behind: dropping the last owner of a running job cancels it and joins its
// threads before the owner goes on.
TEST(JobTest, droppingTheLastOwnerOfARunningJobJoinsIt) {
    const size_t threadsBefore = threadCount();
    auto job = GatedJob::create(2);
    auto transcript = std::make_shared<Transcript>();
    job->addObserver(transcript);
    job->startThread();
    EXPECT_EQ(threadCount(), threadsBefore + 2) << "the job's thread and its progress thread";
    std::weak_ptr<GatedJob> watch = job;
    job.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(transcript->events(), std::vector<std::string>{"finished cancelled"})
        << "cancelled without a cancelled() call, and ended before the owner went on";
    // Joined: the kernel lets go of the threads' entries a moment after they have ended.
    EXPECT_TRUE(test::waitFor([&] { return threadCount() == threadsBefore; }, kTimeout));
}

TEST(JobTest, aJobNeverStartedNeedsNoWaitAndLeavesNoThread) {
    const size_t threadsBefore = threadCount();
    auto job = GatedJob::create(1);
    job->wait();
    EXPECT_TRUE(job->waitFor(0ms));
    EXPECT_FALSE(job->end().has_value());
    job.reset();
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(JobTest, childrenArePausedAndCancelledWithTheirParent) {
    auto parent = GatedJob::create(1);
    auto child = GatedJob::create(2);
    auto childTranscript = std::make_shared<Transcript>();
    child->addObserver(childTranscript);
    parent->adoptChild(child);
    parent->startThread();
    parent->pauseThread();
    EXPECT_TRUE(child->isPaused());
    parent->continueThread();
    EXPECT_FALSE(child->isPaused());
    parent->cancelThread();
    ASSERT_TRUE(parent->waitFor(kTimeout));
    EXPECT_EQ(child->end(), JobEnd::Cancelled);
    EXPECT_EQ(parent->end(), JobEnd::Cancelled);
    EXPECT_EQ(childTranscript->events(), (std::vector<std::string>{"paused", "cancelled", "finished cancelled"}));
}

TEST(JobTest, threadsTakeNoSignalsAndLeaveTheCallersMaskAlone) {
    class MaskJob : public Job {
    public:
        static std::shared_ptr<MaskJob> create() { return std::shared_ptr<MaskJob>(new MaskJob, Job::Joiner()); }
        bool termBlocked = false;
        bool intBlocked = false;

    protected:
        JobEnd run() override {
            sigset_t mask;
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            termBlocked = sigismember(&mask, SIGTERM) == 1;
            intBlocked = sigismember(&mask, SIGINT) == 1;
            return JobEnd::Finished;
        }
    };
    sigset_t before;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
    auto job = MaskJob::create();
    job->startThread();
    job->wait();
    EXPECT_TRUE(job->termBlocked);
    EXPECT_TRUE(job->intBlocked);
    sigset_t after;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
    EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM));
    EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&before, SIGINT));
}

} // namespace
} // namespace quillet
