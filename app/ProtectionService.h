#pragma once
// The window's side of protection: the one ProtectionControl of the application, reached only
// through jobs that run one after another, so that neither the event loop nor a second job ever
// touches it while a job does. Starting, stopping, restarting, reading the status, writing the
// settings, emptying the cache: each is a request, queued, run on a job's thread, and answered
// on the main thread.
//
// The settings mirror the windows read and edit is mirror(), on the main thread. The control
// takes a copy of it as each request starts; afterwards the keys protection itself writes
// ("Time of last daemon launch", "Daemons are running") come back into mirror().

#include "control/ProtectionControl.h"
#include "jobs/Job.h"

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace quillet::app {

class JobWatcher;

class ProtectionService : public QObject {
    Q_OBJECT
public:
    /// Protection of this user, with the daemons of daemonFolder (those beside the program by
    /// default). The mirror is loaded from the domain; its password flag is set by the caller
    /// once the keyring has answered (setPasswordFlag).
    explicit ProtectionService(std::string daemonFolder = DaemonControl::defaultDaemonFolder(),
                               QObject *parent = nullptr);
    ~ProtectionService() override;

    /// The settings mirror of the windows (main thread only).
    SettingsMirror &mirror() { return _mirror; }
    const SettingsMirror &mirror() const { return _mirror; }
    /// The domain's file, for messages.
    std::string domainPath() const;

    /// Queues work on the control; done runs on the main thread once it has run.
    void run(std::function<void(ProtectionControl &)> work, std::function<void()> done = {});
    /// Queues a job that uses the control (an emptying): started when its turn comes, done on
    /// the main thread once it has ended. progress reports the job's progress meanwhile.
    void runJob(std::shared_ptr<Job> job, std::function<void(JobEnd)> done = {},
                std::function<void(double)> progress = {});
    /// The control, for the work of a queued request or job only (never the main thread).
    ProtectionControl &control() { return *_control; }

    /// No request is queued or running.
    bool idle() const { return !_current && _queue.empty(); }

signals:
    /// The queue has become empty.
    void becameIdle();

private:
    struct Request {
        std::shared_ptr<Job> job;
        std::function<void(JobEnd)> done;
        std::function<void(double)> progress;
    };
    void enqueue(Request request);
    void startNext();

    std::unique_ptr<ProtectionControl> _control;
    SettingsMirror _mirror;
    std::deque<Request> _queue;
    JobWatcher *_current = nullptr;
};

} // namespace quillet::app
