#pragma once
// Records what a worker posts to its notification centre, in order, for the worker tests.

#include "jobs/Job.h"
#include "support/NotificationCenter.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillet::test {

/// Everything Worker posts under its five notification names (Worker::kStatsNotification, …),
/// with the job id or the progress value each carries.
template <typename Worker>
class NotificationRecorder {
public:
    struct Posted {
        std::string name;
        JobId job = 0;
        double value = -1;
    };

    explicit NotificationRecorder(NotificationCenter &center) {
        for (const char *name : {Worker::kStatsNotification, Worker::kThreadFinishedNotification,
                                 Worker::kCancelledNotification, Worker::kThreadPausedNotification,
                                 Worker::kErrorNotification})
            _observers.push_back(std::make_unique<ScopedObserver>(center, name, [this](const Notification &n) {
                Posted posted{n.name};
                if (auto *job = n.template objectAs<JobId>())
                    posted.job = *job;
                if (auto *value = n.template objectAs<double>())
                    posted.value = *value;
                std::lock_guard lock(_mutex);
                _posted.push_back(posted);
            }));
    }

    std::vector<Posted> posted() {
        std::lock_guard lock(_mutex);
        return _posted;
    }
    /// Names of everything but the progress notifications.
    std::vector<std::string> events() {
        std::vector<std::string> names;
        for (const Posted &p : posted())
            if (p.name != Worker::kStatsNotification)
                names.push_back(p.name);
        return names;
    }
    /// True once the worker posted its finished or its error notification.
    bool ended() { return count(Worker::kThreadFinishedNotification) + count(Worker::kErrorNotification) > 0; }
    size_t count(const std::string &name) {
        size_t n = 0;
        for (const Posted &p : posted())
            n += p.name == name;
        return n;
    }

private:
    std::mutex _mutex;
    std::vector<Posted> _posted;
    std::vector<std::unique_ptr<ScopedObserver>> _observers;
};

} // namespace quillet::test
