#include "jobs/JobNotifications.h"

namespace quillet {

void JobNotifications::progress(double percent) { _center.post(_names.stats, percent); }

void JobNotifications::paused() { _center.post(_names.paused, _job); }

void JobNotifications::cancelled() { _center.post(_names.cancelled, _job); }

void JobNotifications::finished(JobEnd end) {
    switch (end) {
    case JobEnd::Finished:
    case JobEnd::Cancelled:
        _center.post(_names.finished, _job);
        break;
    case JobEnd::Failed:
        _center.post(_names.error, _job);
        break;
    case JobEnd::NotStarted:
        break;
    }
}

} // namespace quillet
