// The cost of the application's one-second change test when nothing changed: the window of a
// private home is set up as at start-up, its first full refresh is waited for, then the tick is
// called N times in a row. Prints the microseconds per tick, and those of one listing of the
// trash folder (what a tick must not grow into) for comparison.
//
//     quillet-bench-tick HOME BUILD_DIR [N]

#include "MainController.h"
#include "StatusController.h"

#include "platform/System.h"
#include "platform/UserPaths.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quillet-bench-tick HOME BUILD_DIR [N]\n");
        return 2;
    }
    setenv("HOME", argv[1], 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string build = argv[2];
    const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 20000;
    if (count <= 0 || count > 10'000'000) {
        std::fprintf(stderr, "quillet-bench-tick: N must be 1 to 10000000\n");
        return 2;
    }
    QApplication application(argc, argv);
    quillet::app::StartupOptions options;
    options.systemVersion = 0x060100;
    options.executablePath = build + "/bin/Quillet";
    options.daemonFolder = build + "/libexec/quillet";
    options.launchCompanion = false;
    options.listenOnSessionBus = false;
    quillet::app::MainController controller(options);
    if (!controller.init() || !controller.awakeFromNib())
        return 1;
    // The first full refresh (a job) has come back by then.
    QTest::qWait(3000);

    quillet::app::StatusController &status = controller.statusController();
    QElapsedTimer clock;
    clock.start();
    for (long i = 0; i < count; ++i)
        status.quickStatRefresh();
    const double tickMicros = static_cast<double>(clock.nsecsElapsed()) / 1000.0 / static_cast<double>(count);

    const std::string trash = quillet::sys::homeTrashFolder();
    clock.restart();
    for (long i = 0; i < count; ++i)
        (void)quillet::sys::countDirectoryEntries(trash);
    const double listingMicros = static_cast<double>(clock.nsecsElapsed()) / 1000.0 / static_cast<double>(count);
    std::printf("%.3f %.3f\n", tickMicros, listingMicros);
    return 0;
}
