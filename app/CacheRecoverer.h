#pragma once
// Getting the browser's selection back: Recover (a folder chosen in a sheet, the rows copied into
// it under their visible names by a CacheRecovery job, with a progress sheet) and Put Back (the
// rows copied back to where they were trashed from by the core's CacheRestore, on a job). Both
// name every item that failed, and why.

#include "jobs/Job.h"

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

namespace quillet::app {

class MainController;

class CacheRecoverer : public QObject {
    Q_OBJECT
public:
    explicit CacheRecoverer(MainController &main);

    /// The Recover action: beeps without a selection, else asks for the folder in a sheet and
    /// recovers into it.
    void recoverItems();
    /// Recovers the browser's selection into destination at once (the sheet's answer).
    void recoverInto(const QString &destination);
    /// The Put Back action: beeps without a selection, else puts the rows back.
    void putBack();

    /// A recovery or a put-back runs (the recovery and emptying controls stay disabled).
    bool running() const { return _running; }
    /// The folder chooser shown now, if any.
    QFileDialog *folderSheet() const { return _chooser; }

    /// A progress sheet on window titled title, open at 0 %: the recovery's, and a drop's.
    static QProgressDialog *openProgressSheet(QWidget *window, const QString &title);
    /// The title of the recovery's progress sheet.
    static QString recoveringTitle();

    /// The texts of the recovery failure alert.
    static QString failureMessage();
    static QString failureInformative();
    /// One line per failure of a recovered row ("<path>: <why>"): the row itself, then what its
    /// folder's worker left out. None when it was recovered whole.
    static QStringList failureLines(const ItemOutcome &outcome);

signals:
    /// A recovery or put-back has ended; failures holds one line per item that failed.
    void recoveryFinished(const QStringList &failures);
    void putBackFinished(const QStringList &failures);

private:
    void setRunning(bool running);
    void showProgressSheet(const QString &title);
    void closeProgressSheet();

    MainController &_main;
    bool _running = false;
    QPointer<QFileDialog> _chooser;
    QPointer<QProgressDialog> _progress;
};

} // namespace quillet::app
