#pragma once
// The copy or delete workers a front end started and must wait for. A worker is added before
// it starts and leaves the set with its finished or its error notification (a cancelled worker
// posts finished once it has unwound), which arrive on the worker's own thread; the waiting
// thread reads the set under its lock.

#include "NotificationCenter.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace quillet {

template <typename Worker>
class RunningWorkers {
public:
    explicit RunningWorkers(NotificationCenter &center)
        : _finished(center, Worker::kThreadFinishedNotification,
                    [this](const Notification &notification) { ended(notification, false); }),
          _error(center, Worker::kErrorNotification,
                 [this](const Notification &notification) { ended(notification, true); }) {}
    RunningWorkers(const RunningWorkers &) = delete;
    RunningWorkers &operator=(const RunningWorkers &) = delete;

    /// Call before worker->startThread: a worker may end before startThread returns.
    void add(std::shared_ptr<Worker> worker) {
        std::lock_guard lock(_mutex);
        _running.push_back(std::move(worker));
    }
    bool empty() const {
        std::lock_guard lock(_mutex);
        return _running.empty();
    }
    size_t count() const {
        std::lock_guard lock(_mutex);
        return _running.size();
    }
    /// Mean percentage done of the workers still running; 100 when none runs.
    double meanProgress() const {
        std::lock_guard lock(_mutex);
        if (_running.empty())
            return 100.0;
        double sum = 0;
        for (const auto &worker : _running)
            sum += std::min(worker->progress(), 100.0);
        return sum / static_cast<double>(_running.size());
    }
    /// The workers that ended with an error notification (a missing source), in that order.
    std::vector<std::shared_ptr<Worker>> failed() const {
        std::lock_guard lock(_mutex);
        return _failed;
    }

private:
    void ended(const Notification &notification, bool withError) {
        Worker *const *object = notification.objectAs<Worker *>();
        if (!object)
            return;
        std::lock_guard lock(_mutex);
        // Workers started by others post the same names: only ours leave the set.
        auto it = std::find_if(_running.begin(), _running.end(),
                               [object](const std::shared_ptr<Worker> &worker) { return worker.get() == *object; });
        if (it == _running.end())
            return;
        if (withError)
            _failed.push_back(*it);
        _running.erase(it);
    }

    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<Worker>> _running;
    std::vector<std::shared_ptr<Worker>> _failed;
    // Declared last: removed first, before the set they write to.
    ScopedObserver _finished;
    ScopedObserver _error;
};

} // namespace quillet
