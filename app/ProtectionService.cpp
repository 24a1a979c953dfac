#include "ProtectionService.h"

#include "JobWatcher.h"
#include "jobs/CallJob.h"

namespace quillet::app {

namespace {

// What the window does about a damaged set of daemons is its own business (it waits, looks
// again and asks the user, without blocking); on the jobs' threads nothing pauses or asks.
DaemonControlHooks quietHooks() {
    DaemonControlHooks hooks;
    hooks.protectionProblem = [] { return ProtectionProblemChoice::ContinueAnyway; };
    hooks.pause = [](int) {};
    return hooks;
}

} // namespace

ProtectionService::ProtectionService(std::string daemonFolder, QObject *parent)
    : QObject(parent),
      _control(std::make_unique<ProtectionControl>(ProtectionControl::forUser(std::move(daemonFolder), quietHooks()))),
      _mirror(_control->mirror()) {}

ProtectionService::~ProtectionService() {
    // The running job is joined by its watcher; nothing queued behind it starts.
    _queue.clear();
    delete _current;
    _current = nullptr;
}

std::string ProtectionService::domainPath() const { return _control->domain().path(); }

void ProtectionService::run(std::function<void(ProtectionControl &)> work, std::function<void()> done) {
    auto job = CallJob::create([this, work = std::move(work)] { work(*_control); });
    enqueue({job, [done = std::move(done)](JobEnd) {
                 if (done)
                     done();
             },
             {}});
}

void ProtectionService::runJob(std::shared_ptr<Job> job, std::function<void(JobEnd)> done,
                               std::function<void(double)> progress) {
    enqueue({std::move(job), std::move(done), std::move(progress)});
}

void ProtectionService::enqueue(Request request) {
    _queue.push_back(std::move(request));
    if (!_current)
        startNext();
}

void ProtectionService::startNext() {
    if (_queue.empty()) {
        emit becameIdle();
        return;
    }
    Request request = std::move(_queue.front());
    _queue.pop_front();
    // No job runs now: the control takes the mirror as the window has it at this moment.
    _control->mirror() = _mirror;
    _current = new JobWatcher(request.job, this);
    if (request.progress)
        connect(_current, &JobWatcher::progress, this, request.progress);
    connect(_current, &JobWatcher::finished, this, [this, done = request.done](JobEnd end) {
        // Protection writes these two keys itself; the rest of the mirror is the window's.
        for (const char *key : {prefs::kTimeOfLastDaemonLaunch, prefs::kDaemonsAreRunning})
            if (auto value = _control->mirror().value(key))
                _mirror.set(key, *value);
        JobWatcher *finishedWatcher = _current;
        _current = nullptr;
        finishedWatcher->deleteLater();
        if (done)
            done(end);
        if (!_current)
            startNext();
    });
}

} // namespace quillet::app
