// The browser tab on a large cache: the tab is shown (as when it is selected) with the cache
// folder given, and the time is taken until its first rows are shown and until the list is
// complete, together with the longest the event loop went without turning meanwhile (the view
// must never wait for the disk), and the resident memory at the end.
//
//     quillet-bench-browsertab CACHE_FOLDER day|flat
//     quillet-bench-browsertab CACHE_FOLDER search TEXT
//
// Prints: milliseconds to the first rows, milliseconds to the end of every job, rows shown, the
// longest stall of the event loop in milliseconds, VmRSS in kB. With search, the day view is read
// first; then TEXT is typed into the search field and the clock starts: the first rows are the
// first results on screen, the end is the end of the search (its last results shown).

#include "BrowserTab.h"
#include "CacheModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc >= 3 ? argv[2] : "";
    if (!(argc == 3 && (mode == "day" || mode == "flat")) && !(argc == 4 && mode == "search")) {
        std::fprintf(stderr, "usage: quillet-bench-browsertab CACHE_FOLDER day|flat\n"
                             "       quillet-bench-browsertab CACHE_FOLDER search TEXT\n");
        return 2;
    }
    const bool searching = mode == "search";
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    quillet::app::BrowserTab tab;
    tab.resize(620, 649);
    if (mode != "flat")
        tab.dayViewButton->click();
    tab.setCacheFolders({QString::fromLocal8Bit(argv[1])});

    QElapsedTimer clock;
    qint64 firstRows = -1;
    qint64 longestStall = 0;
    qint64 lastTurn = 0;
    bool typed = false;
    bool searchEnded = false;
    QObject::connect(&tab, &quillet::app::BrowserTab::searchFinished, [&] { searchEnded = true; });
    // A timer that fires every 2 ms while the loop turns: the gaps between its calls are the
    // stalls. Not every turn: a zero timer would keep the main thread busy, taking a CPU from
    // the jobs that read the cache, which an idle window does not.
    QTimer turns;
    turns.setTimerType(Qt::PreciseTimer);
    turns.setInterval(2);
    QObject::connect(&turns, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (now > 600000)
            application.exit(1);
        if (searching && !typed) {
            // The list is read before anything is typed, as a user would see it.
            if (tab.model()->rowCount() == 0 || tab.model()->busy())
                return;
            typed = true;
            clock.restart();
            lastTurn = 0;
            tab.searchField->setText(QString::fromLocal8Bit(argv[3]));
            return;
        }
        longestStall = std::max(longestStall, now - lastTurn);
        lastTurn = now;
        if (firstRows < 0 && tab.model()->rowCount() > 0) {
            tab.outlineView->viewport()->repaint();
            firstRows = clock.elapsed();
        }
        if (searching ? searchEnded : firstRows >= 0 && !tab.model()->busy())
            application.quit();
    });
    clock.start();
    tab.show();
    turns.start();
    if (application.exec() != 0) {
        std::fprintf(stderr, "quillet-bench-browsertab: no end after 600 s\n");
        return 1;
    }
    std::printf("%lld %lld %d %lld %ld\n", static_cast<long long>(firstRows), static_cast<long long>(clock.elapsed()),
                tab.model()->rowCount(), static_cast<long long>(longestStall), residentKib());
    return 0;
}
