// Put Back from the window: the application's main window on the user's caches (HOME and the
// XDG variables of the environment), its browser tab selected, the row of ITEM selected, and the
// Put Back button clicked; the time is taken from the click until the put-back has ended with
// every item accounted for.
//
//     quillet-bench-putback DAEMON_FOLDER ITEM
//
// Prints the milliseconds from the click to the end and the number of items that failed.
// Without a keyring on the session bus the browser opens at once: the benchmark points the
// session bus at nothing, as the tests do.

#include "BrowserTab.h"
#include "CacheModel.h"
#include "CacheRecoverer.h"
#include "MainController.h"
#include "MainTabView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

/// Turns the event loop until done answers true or timeoutMs have passed, looking every 5 ms;
/// in between the loop waits for events rather than turning idle.
template <typename Done>
bool turnUntil(Done done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    look.start(5);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillet-bench-putback DAEMON_FOLDER ITEM\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillet-bench-bus", 1);
    QApplication application(argc, argv);
    quillet::app::StartupOptions options;
    options.systemVersion = 0x060100;
    options.daemonFolder = argv[1];
    options.executablePath = std::string(argv[1]) + "/../../bin/Quillet";
    options.settingsFlagPath = quillet::app::settingsFlagPath();
    options.launchCompanion = false;
    options.listenOnSessionBus = false;
    quillet::app::MainController controller(options);
    if (!controller.init() || !controller.awakeFromNib()) {
        std::fprintf(stderr, "quillet-bench-putback: the window did not start\n");
        return 1;
    }
    auto *tabs = controller.mainTabView();
    const bool opened = turnUntil(
        [&] {
            return !controller.trashesCachePath().isEmpty() &&
                   (tabs->currentIdentifier() == QStringLiteral("3") || tabs->selectTab(QStringLiteral("3")));
        },
        30000);
    quillet::app::BrowserTab &browser = *controller.browserTab();
    // Every archived item is a row of its own in the flat view.
    browser.flatViewButton->click();
    const QString item = QString::fromLocal8Bit(argv[2]);
    int row = -1;
    const bool listed = opened && turnUntil(
                                      [&] {
                                          if (browser.model()->busy())
                                              return false;
                                          for (int i = 0; i < browser.model()->rowCount(); ++i)
                                              if (browser.model()->data(browser.model()->index(i, 0),
                                                                        quillet::app::CacheModel::PathRole)
                                                      .toString() == item)
                                                  row = i;
                                          return row >= 0;
                                      },
                                      60000);
    if (!listed) {
        std::fprintf(stderr, "quillet-bench-putback: %s is not in the browser\n", argv[2]);
        return 1;
    }
    // As a user would, the row is clicked once the window has settled: the start-up work (the
    // status tab's first sizes, the original locations of the rows) is not timed with the put-back.
    (void)turnUntil([] { return false; }, 2000);
    browser.outlineView->selectionModel()->select(browser.model()->index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    // From the click on, the event loop waits as a user's window does: a loop that turned
    // without waiting would take a CPU from the put-back's thread.
    QEventLoop loop;
    bool finished = false;
    qsizetype failures = -1;
    QObject::connect(&controller.cacheRecoverer(), &quillet::app::CacheRecoverer::putBackFinished,
                     [&](const QStringList &failed) {
                         finished = true;
                         failures = failed.size();
                         loop.quit();
                     });
    if (!browser.putBackButton->isEnabled()) {
        std::fprintf(stderr, "quillet-bench-putback: Put Back is not enabled\n");
        return 1;
    }
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    browser.putBackButton->click();
    if (!finished)
        loop.exec();
    if (!finished) {
        std::fprintf(stderr, "quillet-bench-putback: no end after 600 s\n");
        return 1;
    }
    const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    std::printf("%.3f %lld\n", elapsed, static_cast<long long>(failures));
    return 0;
}
