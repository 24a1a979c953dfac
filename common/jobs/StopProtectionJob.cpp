#include "jobs/StopProtectionJob.h"

namespace quillet {

std::shared_ptr<StopProtectionJob> StopProtectionJob::create(ProtectionSwitch &protection) {
    return std::shared_ptr<StopProtectionJob>(new StopProtectionJob(protection), Job::Joiner());
}

JobEnd StopProtectionJob::run() {
    if (cancelledAfterPause())
        return JobEnd::Cancelled;
    // The stop cannot be taken back half way: once asked for, it is waited for.
    _wasRunning = _protection.isRunning();
    _stopped = _wasRunning ? _protection.stopForCacheWork() : true;
    setProgress(100.0);
    return JobEnd::Finished;
}

} // namespace quillet
