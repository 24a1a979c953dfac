#pragma once
// Protection start/stop and the statistics of the status tab: the start/stop button and menu
// item with the stop confirmation, the status display, the daemon count, the sizes of the caches
// and the trash (read on a job), the one-second change test ("UPD_FLAG", the trash entry count),
// the 30-second full refresh, the "Protection problem!" alert, and the selection line of the
// browser tab.

#include <QObject>

namespace quillet::app {

class MainController;
class ProtectionService;

class StatusController : public QObject {
    Q_OBJECT
public:
    StatusController(MainController &main, ProtectionService &service);

    /// Starts the two timers (30 s full refresh, 1 s change test).
    void startTimers();
    /// The start/stop action; fromUserControl: the button or menu item (tag 666), whose stop
    /// is confirmed first.
    void startStop(bool fromUserControl);
    /// Full refresh; rebuildBrowser when called directly (not by the timer).
    void timerRefreshStats(bool rebuildBrowser = true);
    /// The one-second change test.
    void quickStatRefresh();
    /// The browser's selection changed (selected: rows are selected).
    void didOutlineViewWasClicked(bool selected);

private:
    MainController &_main;
    ProtectionService &_service;
};

} // namespace quillet::app
