// Dragging browser rows out for real, under an X server of the test's own (Xvfb): the browser
// tab of this program on the xcb platform, a real drop target (dropTarget, a small Qt program),
// and a real drag made with the pointer through xdotool. Against the target taking the list of
// copies: the files and folders it copied byte for byte under their visible names, the staging
// folder kept after the drop and removed when the program ends. Against the target doing a
// direct save: the answer "S" and the rows copied into its folder under free names. Both with
// the build's real daemons running, which are stopped for the copying and started again.
// Skipped when Xvfb or xdotool is missing.

#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "OwnDaemons.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheDragSource.h"
#include "CacheModel.h"
#include "CacheOutlineView.h"
#include "DragStaging.h"
#include "ProtectionService.h"

#include "control/DaemonControl.h"
#include "platform/RemoveTree.h"

#include <QItemSelectionModel>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

extern char **environ;

namespace {

/// Why the test cannot run here ("" when an X server of its own is up).
std::string g_unavailable;
test::ChildProcess *g_xServer = nullptr;

/// The program name's executable in PATH, "" when there is none.
std::string inPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
            return folder + "/" + program;
    return {};
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry)
        env.emplace_back(*entry);
    return env;
}

/// Starts Xvfb on the first free display from :91 and points DISPLAY at it.
void startXServer() {
    const std::string xvfb = inPath("Xvfb");
    if (xvfb.empty() || inPath("xdotool").empty()) {
        g_unavailable = "Xvfb or xdotool is not installed";
        return;
    }
    for (int display = 91; display < 160; ++display) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
        if (sys::exists(socket) || sys::exists("/tmp/.X" + std::to_string(display) + "-lock"))
            continue;
        auto *server = new test::ChildProcess;
        const std::string log = sys::homeFolder() + "/xvfb.log";
        if (!server->start(xvfb, {":" + std::to_string(display), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"},
                           currentEnvironment(), log)) {
            delete server;
            break;
        }
        if (test::waitFor([&] { return sys::exists(socket) || !server->running(); }, std::chrono::seconds(10)) &&
            server->running()) {
            g_xServer = server;
            setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
            return;
        }
        delete server; // lost the display to another program: the next one
    }
    g_unavailable = "no X server could be started";
}

std::vector<std::string> linesOf(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream text(readAll(path));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

bool logHas(const std::string &path, const std::string &line) {
    const std::vector<std::string> lines = linesOf(path);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> stagingFolders() {
    std::vector<std::string> found;
    for (const std::string &name : entriesOf(*DragStaging::runtimeFolder()))
        if (name.rfind(DragStaging::kNamePrefix, 0) == 0)
            found.push_back(name);
    return found;
}

/// Process ids of this program's protection daemons.
std::set<pid_t> ownProtectionDaemons() {
    std::set<pid_t> pids;
    for (const sys::ProcessEntry &entry : ownProcessTable())
        if (sys::matchesProgram(entry.command, kProtectionDaemonName))
            pids.insert(entry.pid);
    return pids;
}

/// The browser tab as a window of its own at a fixed place, protection seen only through this
/// program's daemons, and a drag source for its rows.
struct Browser {
    Browser() : service(daemonFolder()), source(std::make_unique<CacheDragSource>(service, &tab)) {
        confineToOwnDaemons(service);
        tab.outlineView->setDragSource(source.get());
        tab.setCacheFolders({QString::fromStdString(homeCacheFolder())});
        tab.setGeometry(20, 40, 600, 400);
        tab.show();
    }
    bool exposed() { return QTest::qWaitForWindowExposed(&tab, 10000); }
    bool shows(int rows) {
        tab.refreshOutlineList();
        return waitUntil([&] { return tab.model()->rowCount() == rows && !tab.model()->busy(); }, 15000);
    }
    /// Selects the rows named and answers where the first of them is on the screen.
    std::optional<QPoint> select(const std::vector<std::string> &names) {
        tab.outlineView->clearSelection();
        std::optional<QPoint> first;
        size_t found = 0;
        for (int row = 0; row < tab.model()->rowCount(); ++row)
            for (const std::string &name : names)
                if (tab.model()->item(row)->displayName() == name) {
                    const QModelIndex index = tab.model()->index(row, 0);
                    tab.outlineView->selectionModel()->select(index, QItemSelectionModel::Select |
                                                                         QItemSelectionModel::Rows);
                    if (!first)
                        first = tab.outlineView->viewport()->mapToGlobal(
                            tab.outlineView->visualRect(index).center());
                    ++found;
                }
        return found == names.size() ? first : std::nullopt;
    }
    /// Protection started with the build's daemons; false when no quilletd of this program runs.
    bool startProtection() {
        bool done = false;
        service.run([](ProtectionControl &control) { control.startProtection(); }, [&] { done = true; });
        return waitUntil([&] { return done && !ownProtectionDaemons().empty(); }, 20000);
    }

    ProtectionService service;
    BrowserTab tab;
    std::unique_ptr<CacheDragSource> source;
};

/// The drop target in mode ("uri" or "xds") at its fixed place, dropping into folder.
class DropTarget {
public:
    static constexpr int kX = 700, kY = 60, kWidth = 400, kHeight = 400;

    bool start(const std::string &mode, const std::string &folder) {
        _log = sys::homeFolder() + "/dropTarget-" + mode + ".log";
        (void)sys::unlink(_log);
        if (!_process.start(DROP_TARGET,
                            {mode, folder, _log, std::to_string(kX), std::to_string(kY),
                             std::to_string(kWidth), std::to_string(kHeight)},
                            currentEnvironment(), sys::homeFolder() + "/dropTarget.stderr"))
            return false;
        return waitUntil([&] { return logHas(_log, "ready"); }, 15000);
    }
    QPoint center() const { return {kX + kWidth / 2, kY + kHeight / 2}; }
    const std::string &log() const { return _log; }

private:
    test::ChildProcess _process;
    std::string _log;
};

/// A drag with the pointer, as a hand makes it: press on from, move there in small steps, let go.
bool dragWithThePointer(QPoint from, QPoint to) {
    QStringList steps{QStringLiteral("mousemove"), QString::number(from.x()), QString::number(from.y()),
                      QStringLiteral("sleep"), QStringLiteral("0.3"), QStringLiteral("mousedown"), QStringLiteral("1")};
    constexpr int kSteps = 30;
    for (int i = 1; i <= kSteps; ++i) {
        const QPoint at = from + (to - from) * i / kSteps;
        steps << QStringLiteral("mousemove") << QString::number(at.x()) << QString::number(at.y())
              << QStringLiteral("sleep") << QStringLiteral("0.05");
    }
    steps << QStringLiteral("sleep") << QStringLiteral("0.3") << QStringLiteral("mouseup") << QStringLiteral("1");
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), steps);
    // The drag runs in this program's event loop while xdotool moves the pointer.
    return waitUntil([&] { return xdotool.state() == QProcess::NotRunning; }, 60000) &&
           xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
}

} // namespace

class DragOutXTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void aFileManagerCopiesFromTheListOfStagedCopies();
    void aDirectSaveCopiesIntoTheDropFolderUnderFreeNames();
};

void DragOutXTest::initTestCase() {
    if (!g_unavailable.empty())
        QSKIP(qPrintable(QString::fromStdString("the drag-out test needs an X server of its own: " + g_unavailable)));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

void DragOutXTest::init() {
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void DragOutXTest::cleanup() {
    QVERIFY(stopOwnDaemons());
    clearTrashAndCache();
    (void)sys::removeTreeAtPath(sys::homeFolder() + "/Desktop");
    for (const std::string &name : stagingFolders())
        (void)sys::removeTreeAtPath(*DragStaging::runtimeFolder() + "/" + name);
}

void DragOutXTest::aFileManagerCopiesFromTheListOfStagedCopies() {
    const std::string date = dateFolderNow();
    const std::string report = contentFor("Report.pdf", 300000);
    const std::string picture = contentFor("a.png", 12345);
    const std::string deep = contentFor("deep.txt", 3);
    QVERIFY(writeFile(date + "/.x_Report.pdf", report));
    QVERIFY(writeFile(date + "/.x_Pics/.x_a.png", picture));
    QVERIFY(writeFile(date + "/.x_Pics/.x_inner/.x_deep.txt", deep));
    QVERIFY(writeFile(date + "/.x_left alone.txt", "x"));
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(sys::makeDirectories(desktop, 0700));

    Browser browser;
    QVERIFY(browser.exposed());
    // Direct save is offered too: a file manager that does not do it takes the list.
    QVERIFY(browser.source->offersDirectSave());
    QVERIFY(browser.startProtection());
    const std::set<pid_t> before = ownProtectionDaemons();
    QVERIFY(browser.shows(3));
    std::optional<QPoint> row = browser.select({"Pics", "Report.pdf"});
    QVERIFY(row);
    DropTarget target;
    QVERIFY(target.start("uri", desktop));
    QSignalSpy staged(browser.source.get(), &CacheDragSource::stagingFinished);

    QVERIFY(dragWithThePointer(*row, target.center()));
    QVERIFY2(waitUntil([&] { return logHas(target.log(), "dropped"); }, 30000),
             readAll(target.log()).c_str());
    QCOMPARE(staged.count(), 1);
    QVERIFY(staged.first().at(1).toStringList().isEmpty());
    const std::string staging = staged.first().at(0).toString().toStdString();
    QCOMPARE(std::filesystem::path(staging).parent_path().string(), *DragStaging::runtimeFolder());
    const std::vector<std::string> lines = linesOf(target.log());
    for (const char *name : {"Pics", "Report.pdf"}) {
        const std::string url =
            QUrl::fromLocalFile(QString::fromStdString(staging + "/" + name)).toEncoded().toStdString();
        QVERIFY2(std::find(lines.begin(), lines.end(), "url " + url) != lines.end(), readAll(target.log()).c_str());
        QVERIFY(std::find(lines.begin(), lines.end(), std::string("copied ") + name) != lines.end());
    }
    QCOMPARE(entriesOf(desktop), (std::vector<std::string>{"Pics", "Report.pdf"}));
    QVERIFY(readAll(desktop + "/Report.pdf") == report);
    QVERIFY(readAll(desktop + "/Pics/a.png") == picture);
    QVERIFY(readAll(desktop + "/Pics/inner/deep.txt") == deep);

    // Protection was stopped for the copying and runs again: new daemons, none of the old ones.
    QVERIFY(waitUntil(
        [&] {
            const std::set<pid_t> now = ownProtectionDaemons();
            return !now.empty() && std::none_of(now.begin(), now.end(), [&](pid_t pid) { return before.count(pid); });
        },
        20000));

    // The drop was taken: the copies stay for the file manager until the program ends.
    QVERIFY(sys::exists(staging + "/Report.pdf"));
    browser.source.reset();
    QVERIFY(!sys::exists(staging));
    QVERIFY(stagingFolders().empty());
    QVERIFY(readAll(date + "/.x_Report.pdf") == report);
}

void DragOutXTest::aDirectSaveCopiesIntoTheDropFolderUnderFreeNames() {
    const std::string date = dateFolderNow();
    const std::string report = contentFor("Report.pdf", 200000);
    const std::string picture = contentFor("a.png", 4321);
    QVERIFY(writeFile(date + "/.x_Report.pdf", report));
    QVERIFY(writeFile(date + "/.x_Pics/.x_a.png", picture));
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(writeFile(desktop + "/Report.pdf", "mine"));
    QVERIFY(writeFile(desktop + "/Report-1.pdf", "mine too"));
    QVERIFY(writeFile(desktop + "/Pics/keep.txt", "kept"));

    Browser browser;
    QVERIFY(browser.exposed());
    QVERIFY(browser.source->offersDirectSave());
    QVERIFY(browser.startProtection());
    const std::set<pid_t> before = ownProtectionDaemons();
    QVERIFY(browser.shows(2));
    std::optional<QPoint> row = browser.select({"Pics", "Report.pdf"});
    QVERIFY(row);
    DropTarget target;
    QVERIFY(target.start("xds", desktop));
    QSignalSpy saved(browser.source.get(), &CacheDragSource::directSaveFinished);
    QSignalSpy removed(browser.source.get(), &CacheDragSource::stagingRemoved);
    QSignalSpy staged(browser.source.get(), &CacheDragSource::stagingFinished);

    QVERIFY(dragWithThePointer(*row, target.center()));
    QVERIFY2(waitUntil([&] { return logHas(target.log(), "dropped"); }, 30000),
             readAll(target.log()).c_str());
    QVERIFY2(logHas(target.log(), "proposed Pics"), readAll(target.log()).c_str());
    QVERIFY2(logHas(target.log(), "answer S"), readAll(target.log()).c_str());
    QVERIFY(waitUntil([&] { return saved.count() == 1; }, 30000));
    QCOMPARE(saved.first().at(0).toString().toStdString(), desktop);
    QVERIFY2(saved.first().at(1).toStringList().isEmpty(), qPrintable(saved.first().at(1).toStringList().join('\n')));
    QCOMPARE(entriesOf(desktop),
             (std::vector<std::string>{"Pics", "Pics-1", "Report-1.pdf", "Report-2.pdf", "Report.pdf"}));
    QVERIFY(readAll(desktop + "/Report-2.pdf") == report);
    QVERIFY(readAll(desktop + "/Pics-1/a.png") == picture);
    QCOMPARE(readAll(desktop + "/Report.pdf"), std::string("mine"));
    QCOMPARE(entriesOf(desktop + "/Pics"), std::vector<std::string>{"keep.txt"});

    QVERIFY(waitUntil(
        [&] {
            const std::set<pid_t> now = ownProtectionDaemons();
            return !now.empty() && std::none_of(now.begin(), now.end(), [&](pid_t pid) { return before.count(pid); });
        },
        20000));
    // The list was never asked for: no copy was staged, and the empty staging folder is gone
    // without waiting for the program's end.
    QVERIFY(waitUntil([&] { return removed.count() == 1 && stagingFolders().empty(); }, 30000));
    QCOMPARE(staged.count(), 0);
}

int main(int argc, char **argv) {
    quillet::apptest::makePrivateHome();
    startXServer();
    int result = 0;
    {
        QApplication app(argc, argv);
        quillet::apptest::installTranslations();
        DragOutXTest tc;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&tc, argc, argv);
    }
    delete g_xServer; // after the application has left the display
    return result;
}

#include "dragOutX_test.moc"
