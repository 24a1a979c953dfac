#include "UpdatePresenter.h"

#include "Alerts.h"
#include "JobWatcher.h"
#include "MainController.h"

#include "platform/Log.h"

#include <QDesktopServices>

namespace quillet::app {

UpdatePresenter::UpdatePresenter(MainController &main) : QObject(&main), _main(main) {
    qRegisterMetaType<quillet::UpdateCheckResult>();
    openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
}

void UpdatePresenter::checkLatestVersion(bool autoHandle, bool confirmAnyway) {
    if (_watcher)
        return;
    UpdateCheck::Request request = _request;
    request.confirmAnyway = confirmAnyway ? ConfirmAnyway::Yes : ConfirmAnyway::No;
    auto job = UpdateCheck::checkLatestVersionAt(request);
    _watcher = new JobWatcher(job, this);
    connect(_watcher, &JobWatcher::finished, this, [this, job, autoHandle](JobEnd) {
        const UpdateCheckResult result = job->result();
        _watcher->deleteLater();
        _watcher = nullptr;
        if (!result.failure.empty())
            sys::logLine("Quillet: update check: " + result.failure);
        if (autoHandle)
            present(result);
        emit versionWasChecked(result);
    });
}

void UpdatePresenter::present(const UpdateCheckResult &result) {
    if (result.newVersionAvailable) {
        showSheet(&_main, AlertStyle::Informational, tr("NewVersionCheckTitle"),
                  tr("NewVersionCheckText").arg(QString::fromStdString(result.newVersionString)),
                  {tr("NewVersionCheckGoToButton"), tr("NewVersionCheckCancelButton")}, [this](int code) {
                      if (code != kAlertFirstButtonReturn)
                          return;
                      const QString address = tr("DownloadURL");
                      if (!address.isEmpty() && address != QStringLiteral("DownloadURL") && openUrl)
                          openUrl(QUrl(address));
                  });
    } else if (result.versionConfirmAnyway) {
        showSheet(&_main, AlertStyle::Informational, tr("VersionUptodateTitle"), tr("VersionUptodateText"),
                  {tr("OKButton")}, {});
    }
}

} // namespace quillet::app
