#pragma once
// The update check as the user sees it: started once the application has launched (when the
// setting asks for it) and by "Check Now", run on a job (the page is read with a 10 s
// time-out), and its answer presented: a newer version offers the download page; with
// confirmAnyway an up-to-date version says so too. A page that cannot be read or names no
// version only goes to the log.

#include "jobs/UpdateCheck.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>

namespace quillet::app {

class JobWatcher;
class MainController;

class UpdatePresenter : public QObject {
    Q_OBJECT
public:
    explicit UpdatePresenter(MainController &main);

    /// Starts a check of the download page (QUILLET_UPDATE_URL overrides the configured one);
    /// autoHandle: present the answer; confirmAnyway: also say when the running version is the
    /// newest. A check still running is not doubled: the new request is dropped.
    void checkLatestVersion(bool autoHandle, bool confirmAnyway);
    /// The request the next check makes (tests shorten the time-out).
    UpdateCheck::Request &request() { return _request; }
    bool checking() const { return _watcher != nullptr; }

    /// How the download page is opened (the desktop's browser by default).
    std::function<void(const QUrl &)> openUrl;

signals:
    /// The check is over (PLXVersionCheckedNotification), presented or not.
    void versionWasChecked(const quillet::UpdateCheckResult &result);

private:
    void present(const UpdateCheckResult &result);

    MainController &_main;
    UpdateCheck::Request _request;
    JobWatcher *_watcher = nullptr;
};

} // namespace quillet::app

Q_DECLARE_METATYPE(quillet::UpdateCheckResult)
