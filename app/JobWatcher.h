#pragma once
// A core job seen from the window: its observer calls, which come on the job's threads, arrive
// as Qt signals on the thread of the watcher (the main thread). The watcher holds the job for
// as long as it lives, so destroying the watcher cancels and joins a job still running.

#include "jobs/Job.h"

#include <QObject>

#include <memory>

namespace quillet::app {

class JobWatcher : public QObject {
    Q_OBJECT
public:
    /// Watches job (not started yet) and starts it.
    JobWatcher(std::shared_ptr<Job> job, QObject *parent = nullptr);
    ~JobWatcher() override;

    const std::shared_ptr<Job> &job() const { return _job; }

signals:
    void progress(double percent);
    void itemDone(const quillet::ItemOutcome &outcome);
    void finished(quillet::JobEnd end);

private:
    class Relay;
    std::shared_ptr<Job> _job;
    std::shared_ptr<Relay> _relay;
};

} // namespace quillet::app

Q_DECLARE_METATYPE(quillet::ItemOutcome)
Q_DECLARE_METATYPE(quillet::JobEnd)
