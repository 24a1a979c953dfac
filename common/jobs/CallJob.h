#pragma once
// A job that is one call rather than a walk over items: starting protection, reading its
// status, writing the settings. The windows hand such calls to a CallJob so that their event
// loop never waits on the disk, the process table or a stopping daemon.

#include "jobs/Job.h"

#include <functional>
#include <memory>

namespace quillet {

class CallJob : public Job {
public:
    /// A job that runs work once on its thread. Not started yet. A cancellation before the job
    /// reaches work skips it; once running, work goes to its end.
    static std::shared_ptr<CallJob> create(std::function<void()> work);

protected:
    JobEnd run() override;

private:
    explicit CallJob(std::function<void()> work) : _work(std::move(work)) {}

    std::function<void()> _work;
};

} // namespace quillet
