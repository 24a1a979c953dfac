#include "jobs/CallJob.h"

namespace quillet {

std::shared_ptr<CallJob> CallJob::create(std::function<void()> work) {
    return std::shared_ptr<CallJob>(new CallJob(std::move(work)), Job::Joiner());
}

JobEnd CallJob::run() {
    if (cancelledAfterPause())
        return JobEnd::Cancelled;
    _work();
    setProgress(100.0);
    return JobEnd::Finished;
}

} // namespace quillet
