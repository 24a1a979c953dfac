#include "CacheRecoverer.h"

#include "Alerts.h"
#include "BrowserTab.h"
#include "JobWatcher.h"
#include "MainController.h"
#include "StatusController.h"

#include "jobs/CacheRecovery.h"
#include "jobs/CacheRestore.h"
#include "jobs/CallJob.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>
#include <QItemSelectionModel>

#include <algorithm>

namespace quillet::app {

namespace {

/// "<path>: <why>", a refusal about the item itself saying only why.
QString failureLine(const std::string &source, const sys::Status &status) {
    const std::string why = status.path() == source ? status.reason() : status.message();
    return CacheRecoverer::tr("%1: %2").arg(QString::fromStdString(source), QString::fromStdString(why));
}

std::vector<std::string> cachesOf(const MainController &main) {
    std::vector<std::string> caches;
    for (const QString &folder : main.trashesCachePath())
        caches.push_back(folder.toStdString());
    return caches;
}

} // namespace

CacheRecoverer::CacheRecoverer(MainController &main) : QObject(&main), _main(main) {}

QString CacheRecoverer::failureMessage() { return tr("Unable to recover file"); }

QString CacheRecoverer::failureInformative() {
    return tr("Items selected can not be recovered successfully. Maybe item/permissions on source or destination are "
              "damaged or disk encounter problem.\nTry to recover again selecting a new destination...");
}

QStringList CacheRecoverer::failureLines(const ItemOutcome &outcome) {
    QStringList lines;
    if (!outcome.status)
        lines.append(failureLine(outcome.source, outcome.status));
    for (const CopyFailure &left : outcome.failures)
        lines.append(failureLine(left.source, left.status));
    return lines;
}

void CacheRecoverer::setRunning(bool running) {
    _running = running;
    // The selection line and the controls it enables follow.
    emit _main.browserTab()->outlineViewClicked(_main.browserTab()->outlineView->selectionModel()->hasSelection());
}

QProgressDialog *CacheRecoverer::openProgressSheet(QWidget *window, const QString &title) {
    auto *sheet = new QProgressDialog(title, QString(), 0, 100, window);
    sheet->setAccessibleName(title);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setMinimumDuration(0);
    sheet->setAutoClose(false);
    sheet->setAutoReset(false);
    sheet->setValue(0);
    sheet->open();
    return sheet;
}

QString CacheRecoverer::recoveringTitle() { return tr("Recovering items…"); }

void CacheRecoverer::showProgressSheet(const QString &title) {
    closeProgressSheet();
    _progress = openProgressSheet(&_main, title);
}

void CacheRecoverer::closeProgressSheet() {
    if (_progress)
        _progress->close();
    _progress = nullptr;
}

void CacheRecoverer::recoverItems() {
    if (_running || _chooser)
        return;
    if (_main.browserTab()->selectedItems().empty()) {
        QApplication::beep();
        return;
    }
    // Qt's own dialog, as a sheet: the same on every desktop, and reachable by accessible names.
    auto *chooser = new QFileDialog(&_main, tr("Recovery"));
    chooser->setAccessibleName(tr("Recovery"));
    chooser->setOption(QFileDialog::DontUseNativeDialog);
    chooser->setAcceptMode(QFileDialog::AcceptSave);
    chooser->setFileMode(QFileDialog::AnyFile);
    chooser->setLabelText(QFileDialog::Accept, tr("Recover"));
    chooser->setLabelText(QFileDialog::FileName, tr("Save into: "));
    chooser->setWindowModality(Qt::WindowModal);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    // The folder is made by the recovery itself; the chooser makes none.
    if (auto *newFolder = chooser->findChild<QToolButton *>(QStringLiteral("newFolderButton")))
        newFolder->hide();
    const QString message = tr("Enter the name of the folder in wich you want to recover data:");
    chooser->setAccessibleDescription(message);
    if (auto *grid = qobject_cast<QGridLayout *>(chooser->layout()))
        grid->addWidget(new QLabel(message, chooser), grid->rowCount(), 0, 1, grid->columnCount());
    if (auto *name = chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        name->setAccessibleName(tr("Save into: "));
    if (auto *box = chooser->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))) {
        if (QPushButton *accept = box->button(QDialogButtonBox::Save))
            accept->setAccessibleName(tr("Recover"));
        if (QPushButton *cancel = box->button(QDialogButtonBox::Cancel))
            cancel->setAccessibleName(tr("Cancel"));
    }
    connect(chooser, &QFileDialog::fileSelected, this, &CacheRecoverer::recoverInto);
    _chooser = chooser;
    chooser->open();
}

void CacheRecoverer::recoverInto(const QString &destination) {
    std::vector<BrowserItem> rows = _main.browserTab()->selectedItems();
    if (rows.empty() || destination.isEmpty() || _running) {
        QApplication::beep();
        return;
    }
    // Workers post to nobody: the window follows the job as a whole.
    auto recovery = CacheRecovery::recoverItems(std::move(rows), destination.toStdString(), nullptr);
    setRunning(true);
    showProgressSheet(recoveringTitle());
    auto failures = std::make_shared<QStringList>();
    auto *watcher = new JobWatcher(recovery, this);
    connect(watcher, &JobWatcher::progress, this, [this](double percent) {
        if (_progress)
            _progress->setValue(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
    });
    connect(watcher, &JobWatcher::itemDone, this,
            [failures](const ItemOutcome &outcome) { failures->append(failureLines(outcome)); });
    connect(watcher, &JobWatcher::finished, this, [this, watcher, failures](JobEnd end) {
        watcher->deleteLater();
        closeProgressSheet();
        setRunning(false);
        if (end == JobEnd::NotStarted)
            failures->append(tr("The recovery could not start."));
        if (!failures->isEmpty()) {
            showSheet(&_main, AlertStyle::Critical, failureMessage(),
                      failureInformative() + QStringLiteral("\n\n") + failures->join(QLatin1Char('\n')), {tr("OK")},
                      {});
        }
        _main.statusController().timerRefreshStats(false);
        emit recoveryFinished(*failures);
    });
}

void CacheRecoverer::putBack() {
    if (_running)
        return;
    std::vector<BrowserItem> rows = _main.browserTab()->selectedItems();
    if (rows.empty()) {
        QApplication::beep();
        return;
    }
    // The restore is synchronous: it runs whole on a job's thread.
    auto restored = std::make_shared<std::vector<RestoredItem>>();
    auto job = CallJob::create([caches = cachesOf(_main), rows = std::move(rows), restored] {
        CacheRestore restorer(caches);
        *restored = restorer.restoreItems(rows);
    });
    setRunning(true);
    showProgressSheet(tr("Putting items back…"));
    if (_progress)
        _progress->setRange(0, 0);
    auto *watcher = new JobWatcher(job, this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, restored](JobEnd end) {
        watcher->deleteLater();
        closeProgressSheet();
        setRunning(false);
        QStringList failures;
        if (end != JobEnd::Finished)
            failures.append(tr("Putting the items back could not start."));
        for (const RestoredItem &item : *restored)
            if (!item.status)
                failures.append(tr("cannot restore %1").arg(failureLine(item.source, item.status)));
        if (!failures.isEmpty())
            showSheet(&_main, AlertStyle::Warning, tr("Some items could not be put back."), failures.join(QLatin1Char('\n')),
                      {tr("OK")}, {});
        emit putBackFinished(failures);
    });
}

} // namespace quillet::app
