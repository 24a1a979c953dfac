#include "JobWatcher.h"

#include <QMetaObject>

#include <mutex>

namespace quillet::app {

// The relay may outlive the watcher inside the job (another owner may keep the job). It posts
// to the watcher only while the watcher exists: the watcher's destructor detaches it under the
// same lock, and Qt drops the events still queued for an object it destroys.
class JobWatcher::Relay : public JobObserver {
public:
    explicit Relay(JobWatcher *watcher) : _watcher(watcher) {}

    void detach() {
        std::lock_guard lock(_mutex);
        _watcher = nullptr;
    }

    void progress(double percent) override {
        post([percent](JobWatcher *w) { emit w->progress(percent); });
    }
    void itemDone(const ItemOutcome &outcome) override {
        post([outcome](JobWatcher *w) { emit w->itemDone(outcome); });
    }
    void finished(JobEnd end) override {
        post([end](JobWatcher *w) { emit w->finished(end); });
    }

private:
    template <typename Call>
    void post(Call call) {
        std::lock_guard lock(_mutex);
        if (!_watcher)
            return;
        JobWatcher *watcher = _watcher;
        QMetaObject::invokeMethod(watcher, [watcher, call] { call(watcher); }, Qt::QueuedConnection);
    }

    std::mutex _mutex;
    JobWatcher *_watcher;
};

JobWatcher::JobWatcher(std::shared_ptr<Job> job, QObject *parent) : QObject(parent), _job(std::move(job)) {
    static const int registered = [] {
        qRegisterMetaType<quillet::ItemOutcome>();
        qRegisterMetaType<quillet::JobEnd>();
        return 0;
    }();
    (void)registered;
    _relay = std::make_shared<Relay>(this);
    _job->addObserver(_relay);
    _job->startThread();
}

JobWatcher::~JobWatcher() { _relay->detach(); }

} // namespace quillet::app
