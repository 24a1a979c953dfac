// quillet-bench-quicktick WORKDIR ENTRIES [TICKS]: the one-second change test of the main
// window (StatusController::quickStatRefresh) timed tick by tick on the main thread, in a home
// of its own under WORKDIR whose trash holds ENTRIES files. The window is set up as at start-up
// and its first full refresh awaited (it hands the tick the folder lists); then TICKS ticks
// (default 2000) run back to back with nothing changed for more than a second, which is what
// nearly every tick of a running application finds (a tick right after a change counts the
// entries of the folder that changed, once, and asks for a full refresh). Prints the median, the 99th percentile and the maximum of one
// tick in microseconds, and the number of trash entries counted.
#include "MainController.h"
#include "StatusController.h"

#include "archive/CacheFolders.h"
#include "platform/System.h"
#include "platform/UserPaths.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: quillet-bench-quicktick WORKDIR ENTRIES [TICKS]\n");
    return 2;
}

std::string folder(const std::string &base, const char *relative) {
    const std::string path = base + "/" + relative;
    (void)quillet::sys::makeDirectories(path, 0700);
    return path;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    const std::string base = argv[1];
    const long entries = std::strtol(argv[2], nullptr, 10);
    const long ticks = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 2000;
    if (entries < 0 || entries > 10'000'000 || ticks < 1 || ticks > 10'000'000)
        return usage();
    setenv("HOME", base.c_str(), 1);
    setenv("XDG_CONFIG_HOME", folder(base, ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", folder(base, ".local/share").c_str(), 1);
    setenv("XDG_STATE_HOME", folder(base, ".local/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder(base, "run").c_str(), 1);
    setenv("QUILLET_VOLUME_ROOTS", folder(base, "volumes").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string trash = folder(base, ".local/share/Trash/files");
    (void)folder(base, ".local/share/Trash/info");
    for (long i = 0; i < entries; ++i)
        std::ofstream(trash + "/item" + std::to_string(i)).put('x');
    (void)quillet::sys::ensureCacheFolder(quillet::homeCacheFolder());

    QApplication application(argc, argv);
    quillet::app::StartupOptions options = quillet::app::StartupOptions::fromSystem();
    options.companionPath.clear();
    options.launchCompanion = false;
    options.listenOnSessionBus = false;
    quillet::app::MainController controller(options);
    quillet::app::StatusController &status = controller.statusController();
    bool refreshed = false;
    QObject::connect(&status, &quillet::app::StatusController::statisticsRefreshed, [&] { refreshed = true; });
    if (!controller.init() || !controller.awakeFromNib())
        return 1;
    QElapsedTimer waited;
    waited.start();
    while (!refreshed && waited.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!refreshed) {
        std::fprintf(stderr, "quillet-bench-quicktick: no full refresh within 60 s\n");
        return 1;
    }
    // As in the running application, the trash was last changed more than a second before the
    // tick (ticks come a second apart). The first tick counts the trash for the first time and
    // asks for a refresh: not timed.
    quillet::sys::sleepFor(1100);
    status.quickStatRefresh();

    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(ticks));
    for (long i = 0; i < ticks; ++i) {
        const auto start = std::chrono::steady_clock::now();
        status.quickStatRefresh();
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const double median = micros[micros.size() / 2];
    const double p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    std::printf("%.1f %.1f %.1f %ld\n", median, p99, micros.back(), entries);
    return 0;
}
