#pragma once
// Emptying the cache (everything, or the browser's selection) as a job with progress, with
// protection stopped and started again around it by the job itself; and the uninstall command,
// whose removals run on jobs too. Both are confirmed first.

#include <QObject>

#include <string>

namespace quillet::app {

class MainController;
class ProtectionService;

class CacheEmptier : public QObject {
    Q_OBJECT
public:
    CacheEmptier(MainController &main, ProtectionService &service);

    /// The confirmation sheet for the emptying control of that tag (1 everything, 2 selection).
    void emptyCaches(int tag);
    /// The uninstall command.
    void uninstallSoftware();
    /// An emptying runs.
    bool deleteThreadRunning() const { return _deleteThreadRunning; }
    /// The uninstall has been confirmed and runs (or has ended).
    bool uninstalling() const { return _uninstalling; }

    /// The companion whose login item and settings the uninstall removes: the start-up
    /// options' companion, else QuilletMenuExtra in the daemon folder.
    std::string companionPath() const;

signals:
    /// An emptying has ended and the statistics refresh has been asked for.
    void emptyingFinished();
    /// The uninstall has removed everything and the application quits.
    void uninstalled();

private:
    void startEmptying(int tag);
    void setEmptyingControlsEnabled(bool enabled);
    void finishUninstall();

    MainController &_main;
    ProtectionService &_service;
    bool _deleteThreadRunning = false;
    bool _confirming = false;
    bool _uninstalling = false;
};

} // namespace quillet::app
