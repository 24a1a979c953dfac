#pragma once
// Stopping protection for work on the cache, and waiting until its daemons have ended (a
// stopping quilletd still writes its index), on a job's thread: the wait takes up to 10 s and
// must not freeze a window. Emptying and a drop run it before they touch the cache.

#include "jobs/Job.h"
#include "control/ProtectionControl.h"

#include <memory>

namespace quillet {

class StopProtectionJob : public Job {
public:
    /// A job that asks protection whether it runs and, when it does, stops it and waits for its
    /// daemons (ProtectionSwitch::stopForCacheWork). protection must outlive the job. Not
    /// started yet.
    static std::shared_ptr<StopProtectionJob> create(ProtectionSwitch &protection);

    /// Once the job has ended: protection ran when the job started.
    bool wasRunning() const { return _wasRunning.load(); }
    /// Once the job has ended: no daemon was left after the wait (true when none ran).
    bool stopped() const { return _stopped.load(); }

protected:
    JobEnd run() override;

private:
    explicit StopProtectionJob(ProtectionSwitch &protection) : _protection(protection) {}

    ProtectionSwitch &_protection;
    std::atomic<bool> _wasRunning{false};
    std::atomic<bool> _stopped{false};
};

} // namespace quillet
