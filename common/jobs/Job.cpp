#include "jobs/Job.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <utility>

namespace quillet {
namespace {

constexpr std::chrono::milliseconds kProgressInterval{250};

std::atomic<JobId> nextJobId{1};

/// Blocks every signal on the calling thread while it lives: threads created meanwhile take no
/// signals, which stay with the thread that waits for them (a daemon's stop signal, the
/// application's event loop). The caller's mask is given back afterwards.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &_previous);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &_previous, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t _previous;
};

} // namespace

void Job::Joiner::operator()(Job *job) const {
    job->cancelAndJoin();
    delete job;
}

Job::Job() : _id(nextJobId++) {}

Job::~Job() {
    // Owners go through Joiner, which has joined already; this only covers a job that never
    // started.
    cancelAndJoin();
}

void Job::addObserver(std::shared_ptr<JobObserver> observer) {
    std::lock_guard lock(_mutex);
    if (!_started && observer)
        _observers.push_back(std::move(observer));
}

template <typename Call>
void Job::notify(const Call &call) {
    std::lock_guard lock(_observerMutex);
    for (const auto &observer : _observers)
        call(*observer);
}

void Job::startThread() {
    {
        std::lock_guard lock(_mutex);
        if (_started)
            return;
        _started = true;
    }
    if (!startable()) {
        endWith(JobEnd::NotStarted);
        return;
    }
    SignalsBlocked blocked;
    _thread = std::jthread([this] { body(); });
    _progressThread = std::jthread([this](std::stop_token stop) { reportProgress(std::move(stop)); });
}

void Job::body() {
    endWith(run());
}

void Job::endWith(JobEnd end) {
    {
        // Set with the observers held: a progress report that waits for them sees the end and
        // stays away, so nothing follows finished().
        std::lock_guard observers(_observerMutex);
        {
            std::lock_guard lock(_mutex);
            _end = end;
            _ended = true;
            _paused = false;
        }
        _changed.notify_all();
        notify([end](JobObserver &observer) { observer.finished(end); });
        {
            std::lock_guard lock(_mutex);
            _reported = true;
        }
    }
    _changed.notify_all();
}

void Job::reportProgress(std::stop_token stop) {
    std::unique_lock lock(_mutex);
    for (;;) {
        if (_changed.wait_for(lock, stop, kProgressInterval,
                              [this] { return _ended.load() || _stop.stop_requested(); }))
            return;
        if (stop.stop_requested())
            return;
        lock.unlock();
        {
            std::lock_guard observers(_observerMutex);
            if (_ended || _stop.stop_requested())
                return;
            const double percent = currentProgress();
            notify([percent](JobObserver &observer) { observer.progress(percent); });
        }
        lock.lock();
    }
}

void Job::pauseThread() {
    {
        std::lock_guard observers(_observerMutex);
        {
            std::lock_guard lock(_mutex);
            _paused = true;
        }
        notify([](JobObserver &observer) { observer.paused(); });
    }
    for (const auto &child : children())
        child->pauseThread();
}

void Job::continueThread() {
    {
        std::lock_guard lock(_mutex);
        _paused = false;
    }
    _changed.notify_all();
    for (const auto &child : children())
        child->continueThread();
}

void Job::cancelThread() {
    {
        std::lock_guard observers(_observerMutex);
        {
            std::lock_guard lock(_mutex);
            _stop.request_stop();
            _paused = false;
        }
        _changed.notify_all();
        notify([](JobObserver &observer) { observer.cancelled(); });
    }
    for (const auto &child : children())
        child->cancelThread();
}

void Job::cancelAndJoin() {
    {
        // Also before the start: a child adopted by a cancelled job must not run.
        std::lock_guard lock(_mutex);
        if (!_ended) {
            _stop.request_stop();
            _paused = false;
        }
    }
    _changed.notify_all();
    for (const auto &child : children())
        child->cancelAndJoin();
    std::lock_guard join(_joinMutex);
    const auto self = std::this_thread::get_id();
    // A job's own threads cannot join themselves: the owner joins them later.
    if (_thread.joinable() && _thread.get_id() != self)
        _thread.join();
    if (_progressThread.joinable() && _progressThread.get_id() != self) {
        _progressThread.request_stop();
        _progressThread.join();
    }
}

void Job::wait() {
    std::unique_lock lock(_mutex);
    _changed.wait(lock, [this] { return !_started || _reported; });
}

bool Job::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout, [this] { return !_started || _reported; });
}

std::optional<JobEnd> Job::end() const {
    std::lock_guard lock(_mutex);
    return _end;
}

bool Job::cancelledAfterPause() {
    std::unique_lock lock(_mutex);
    _changed.wait(lock, [this] { return !_paused.load() || _stop.stop_requested(); });
    return _stop.stop_requested();
}

void Job::itemDone(const ItemOutcome &outcome) {
    notify([&outcome](JobObserver &observer) { observer.itemDone(outcome); });
}

void Job::adopt(const std::shared_ptr<Job> &child) {
    bool cancelled = false;
    {
        std::lock_guard lock(_mutex);
        _children.push_back(child);
        cancelled = _stop.stop_requested();
    }
    // A child adopted after the cancellation is cancelled with the rest.
    if (cancelled)
        child->cancelAndJoin();
}

void Job::runChild(const std::shared_ptr<Job> &child) {
    adopt(child);
    child->startThread();
    child->wait();
}

std::vector<std::shared_ptr<Job>> Job::children() const {
    std::lock_guard lock(_mutex);
    return _children;
}

double Job::runningChildrenShare() const {
    double share = 0;
    for (const auto &child : children())
        if (!child->hasEnded())
            share += std::min(child->progress(), 100.0) / 100.0;
    return share;
}

} // namespace quillet
