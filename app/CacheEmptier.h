#pragma once
// Emptying the cache (everything, or the browser's selection) as a job with progress, with
// protection stopped and started again around it; and the uninstall command.

#include <QObject>

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

private:
    MainController &_main;
    ProtectionService &_service;
    bool _deleteThreadRunning = false;
};

} // namespace quillet::app
