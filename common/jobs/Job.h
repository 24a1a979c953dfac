#pragma once
// Long work off the caller's thread: copying, deleting, emptying the cache, recovering items,
// stopping protection for work on the cache. A job runs on a thread of its own (a joinable
// std::jthread that takes no signals), can be paused, continued and cancelled, and reports to
// typed observers: its progress every 0.25 s, the final outcome of each item it was given, and
// how it ended.
//
// Ownership: a job is created by its class's factory as a std::shared_ptr and belongs to whoever
// holds that. Nothing the job runs holds it: when the last owner lets go, a running job is
// cancelled and its threads are joined before anything of it is destroyed (no thread is ever
// left behind). A job may own child jobs (the copy workers of a recovery, the delete workers of
// an emptying); pausing, continuing and cancelling the parent reaches them, and the parent waits
// for them before it ends.
//
// Threads of the observer calls (an observer that touches a user interface hands the work over
// to its main thread):
//   progress   the job's progress thread, every 0.25 s from the start until the job is cancelled
//              or has ended (not while it has not started, never after finished)
//   itemDone   the job's thread, once per item, when its outcome is final
//   finished   the job's thread, last of all; also after a cancellation
//   paused, cancelled
//              the thread that called pauseThread or cancelThread, before that call returns:
//              the request is acknowledged at once, the job stops at its next entry
// The calls of one job never overlap. An observer must not wait for the thread that controls
// the job (that thread may be waiting to deliver paused or cancelled), nor drop the last owner
// of the job it observes.

#include "platform/System.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace quillet {

/// Names a job for as long as the process runs; never reused.
using JobId = uint64_t;

/// An entry a job left out, and why.
struct CopyFailure {
    std::string source; ///< the entry in the source tree
    std::string target; ///< where it was to go
    /// EEXIST when something already had the target's name; otherwise the failed call.
    sys::Status status;
};

/// The final outcome of one item of a job.
struct ItemOutcome {
    size_t index = 0;   ///< the item's place in the list the job was given
    std::string source; ///< the item worked on
    std::string target; ///< where it went, or was to go; empty for work that writes nothing
    bool isFolder = false;
    /// Ok when the item was done (for a folder: all but failures); otherwise why it was not.
    /// An item the job did not reach (cancelled) fails with ECANCELED.
    sys::Status status;
    /// The entries of a folder left out, each with its reason; the rest of it was done.
    std::vector<CopyFailure> failures;
};

/// How a job ended.
enum class JobEnd {
    Finished,  ///< all its work was done
    Cancelled, ///< cancelled; what was done stays done
    Failed,    ///< it found nothing to work on (a source folder that does not exist)
    NotStarted ///< it could not start: no thread ran (reported on the thread that started it)
};

class JobObserver {
public:
    virtual ~JobObserver() = default;
    /// Percentage done; may pass 100 where the work counts what was there before it.
    virtual void progress(double percent) { (void)percent; }
    virtual void paused() {}
    virtual void cancelled() {}
    virtual void itemDone(const ItemOutcome &outcome) { (void)outcome; }
    virtual void finished(JobEnd end) { (void)end; }
};

class Job {
public:
    /// The deleter of every job's shared_ptr: cancels and joins the job before it is destroyed,
    /// while all of it still exists.
    struct Joiner {
        void operator()(Job *job) const;
    };

    virtual ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    JobId id() const { return _id; }

    /// Adds an observer; only before startThread. The job keeps it until the job goes.
    void addObserver(std::shared_ptr<JobObserver> observer);

    /// Starts the job's thread and its progress thread; a job is started once. A job that cannot
    /// start ends at once with JobEnd::NotStarted, reported on this thread.
    void startThread();
    /// The job (and its children) wait before the next entry until continueThread or
    /// cancelThread; observers hear paused().
    void pauseThread();
    /// Lets a paused job go on; observers hear nothing.
    void continueThread();
    /// The job (and its children) stop before the next entry; observers hear cancelled() at once
    /// and finished(JobEnd::Cancelled) once the job has unwound. What was done stays done.
    void cancelThread();
    /// Cancels a running job without a cancelled() call, then joins its threads: nothing of it
    /// runs once this returns (but on the job's own threads, which cannot join themselves).
    void cancelAndJoin();

    /// Blocks until the job has ended and observers heard finished() (at once for a job that
    /// was never started).
    void wait();
    /// wait() for at most timeout; true when the job has ended.
    bool waitFor(std::chrono::milliseconds timeout);

    /// Percentage done, as observers hear it.
    double progress() const { return currentProgress(); }
    bool isPaused() const { return _paused.load(); }
    /// True once cancelled or ended.
    bool isCancelled() const { return _stop.stop_requested() || _ended.load(); }
    bool hasEnded() const { return _ended.load(); }
    /// How the job ended; nothing while it runs.
    std::optional<JobEnd> end() const;

protected:
    Job();

    /// The work, on the job's thread. Checks cancelledAfterPause() before each entry.
    virtual JobEnd run() = 0;
    /// Asked by startThread on the calling thread: false ends the job at once (NotStarted).
    virtual bool startable() { return true; }
    /// The percentage done now: what setProgress set, unless the job works it out otherwise
    /// (from its children).
    virtual double currentProgress() const { return _progress.load(); }

    /// Waits while the job is paused; true once it is cancelled (the work then unwinds).
    bool cancelledAfterPause();
    /// Cancelled, without waiting.
    bool cancelRequested() const { return _stop.stop_requested(); }
    /// Set when the job is cancelled; for waits of the work's own.
    std::stop_token stopToken() const { return _stop.get_token(); }
    void setProgress(double percent) { _progress = percent; }
    /// Reports the final outcome of an item to the observers.
    void itemDone(const ItemOutcome &outcome);
    /// Makes child a child of this job: pausing, continuing and cancelling this job reaches it,
    /// and it goes with this job. Before child starts.
    void adopt(const std::shared_ptr<Job> &child);
    /// Adopts child, starts it and waits until it has ended.
    void runChild(const std::shared_ptr<Job> &child);
    /// The children adopted so far.
    std::vector<std::shared_ptr<Job>> children() const;
    /// How much of their work the children still running have done, each counting 1 when
    /// done: the sum of their percentages / 100.
    double runningChildrenShare() const;

private:
    void body();
    void reportProgress(std::stop_token stop);
    void endWith(JobEnd end);
    template <typename Call>
    void notify(const Call &call);

    const JobId _id;
    std::vector<std::shared_ptr<JobObserver>> _observers;
    /// Held while observers are called: their calls never overlap.
    std::recursive_mutex _observerMutex;

    mutable std::mutex _mutex;
    std::condition_variable_any _changed;
    std::stop_source _stop;
    std::atomic<bool> _paused{false};
    std::atomic<bool> _ended{false};
    std::atomic<double> _progress{0};
    bool _started = false;
    bool _reported = false; ///< finished() was delivered
    std::optional<JobEnd> _end;
    std::vector<std::shared_ptr<Job>> _children;

    std::mutex _joinMutex;
    std::jthread _thread;
    std::jthread _progressThread;
};

} // namespace quillet
