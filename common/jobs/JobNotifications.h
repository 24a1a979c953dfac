#pragma once
// The notifications of the copy and delete workers, posted over a job's typed events: a front
// end may observe the job itself (Job.h) or listen for these names on a notification centre.
//
// What each name carries (none carries anything else):
//   stats      double, the percentage done    progress(): every 0.25 s on the job's progress
//                                             thread, until the job is cancelled or has ended
//   finished   JobId of the job               finished(Finished or Cancelled), on the job's thread
//   cancelled  JobId                          cancelled(), on the thread that cancelled
//   paused     JobId                          paused(), on the thread that paused
//   error      JobId                          finished(Failed): a source did not exist; no
//                                             finished notification follows
// A job that could not start posts nothing more. The id names the job without holding it: a
// listener that wants the job keeps its shared_ptr and compares ids.

#include "jobs/Job.h"
#include "support/NotificationCenter.h"

namespace quillet {

/// The five names a kind of worker posts under.
struct JobNotificationNames {
    const char *stats;
    const char *finished;
    const char *cancelled;
    const char *paused;
    const char *error;
};

class JobNotifications : public JobObserver {
public:
    /// Posts the events of the job job to center under names; center must outlive the job.
    JobNotifications(JobNotificationNames names, JobId job, NotificationCenter &center)
        : _names(names), _job(job), _center(center) {}

    void progress(double percent) override;
    void paused() override;
    void cancelled() override;
    void finished(JobEnd end) override;

private:
    JobNotificationNames _names;
    JobId _job;
    NotificationCenter &_center;
};

} // namespace quillet
