// The cost of the tray companion's one-second refresh: a companion controller of a private home
// is set up as at launch, then its refresh is called N times in a row (the settings file
// unchanged, the process table read each time, as every tick does). Prints the microseconds per
// tick, and those of one read of the process table alone for comparison.
//
//     quillet-bench-menuextra-tick HOME BUILD_DIR [N]

#include "ZRMenuExtra.h"

#include "platform/ProcessTable.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quillet-bench-menuextra-tick HOME BUILD_DIR [N]\n");
        return 2;
    }
    setenv("HOME", argv[1], 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string build = argv[2];
    const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 20000;
    if (count <= 0 || count > 10'000'000) {
        std::fprintf(stderr, "quillet-bench-menuextra-tick: N must be 1 to 10000000\n");
        return 2;
    }
    QApplication application(argc, argv);
    quillet::menuextra::MenuExtraOptions options;
    options.daemonFolder = build + "/libexec/quillet";
    options.mainAppPath = build + "/bin/Quillet";
    options.addLoginItem = false;
    quillet::menuextra::ZRMenuExtra controller(options);
    if (!controller.awakeFromNib()) {
        std::fprintf(stderr, "quillet-bench-menuextra-tick: another companion of this user runs\n");
        return 1;
    }
    controller.stopRefresh();
    // Past the settings file's settling second, so that an unchanged file is not read again.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    QElapsedTimer clock;
    clock.start();
    for (long i = 0; i < count; ++i)
        controller.timerMethod();
    const double tickMicros = static_cast<double>(clock.nsecsElapsed()) / 1000.0 / static_cast<double>(count);

    clock.restart();
    size_t seen = 0;
    for (long i = 0; i < count; ++i)
        seen += quillet::sys::readProcessTable().size();
    const double tableMicros = static_cast<double>(clock.nsecsElapsed()) / 1000.0 / static_cast<double>(count);
    std::printf("%.3f %.3f %zu\n", tickMicros, tableMicros, seen / static_cast<size_t>(count));
    return 0;
}
