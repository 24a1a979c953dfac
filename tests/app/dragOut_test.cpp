// Dragging browser rows out, without a display server: the data a drag offers for a selection
// (its formats, the list of copies prepared in the private staging folder byte for byte under
// their visible names, the folder's mode and its removal), the refusal without a runtime folder,
// the direct-save answer with the window property stood in for, and the start-up removal of the
// staging folders a crashed run left.

#include "AppTestSupport.h"
#include "OwnDaemons.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheDragSource.h"
#include "CacheModel.h"
#include "CacheOutlineView.h"
#include "CacheRecoverer.h"
#include "DragStaging.h"
#include "MainController.h"
#include "ProtectionService.h"

#include "platform/RemoveTree.h"

#include <QItemSelectionModel>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

std::string runtimeFolder() { return *DragStaging::runtimeFolder(); }

/// The staging folders in the runtime folder now.
std::vector<std::string> stagingFolders() {
    std::vector<std::string> found;
    for (const std::string &name : entriesOf(runtimeFolder()))
        if (name.rfind(DragStaging::kNamePrefix, 0) == 0)
            found.push_back(name);
    return found;
}

QByteArray uriListOf(const std::vector<std::string> &paths) {
    QByteArray list;
    for (const std::string &path : paths)
        list += QUrl::fromLocalFile(QString::fromStdString(path)).toEncoded() + "\r\n";
    return list;
}

/// The direct-save property without an X server: what the drag wrote, and what the target put.
class StandInProperty : public DirectSaveProperty {
public:
    bool write(const QByteArray &proposedName) override {
        written = proposedName;
        value = proposedName;
        return true;
    }
    std::optional<QByteArray> read() override { return value; }

    QByteArray written;
    std::optional<QByteArray> value;
};

/// A browser tab over the private home's cache, with a protection service that sees only this
/// program's daemons, and a drag source for its rows.
struct Browser {
    Browser() : service(daemonFolder()), source(std::make_unique<CacheDragSource>(service, &tab)) {
        confineToOwnDaemons(service);
        tab.outlineView->setDragSource(source.get());
        tab.setCacheFolders({QString::fromStdString(homeCacheFolder())});
        tab.show();
    }
    bool shows(int rows) {
        tab.refreshOutlineList();
        return waitUntil([&] { return tab.model()->rowCount() == rows && !tab.model()->busy(); }, 15000);
    }
    bool select(const std::vector<std::string> &names) {
        tab.outlineView->clearSelection();
        size_t found = 0;
        for (int row = 0; row < tab.model()->rowCount(); ++row)
            for (const std::string &name : names)
                if (tab.model()->item(row)->displayName() == name) {
                    tab.outlineView->selectionModel()->select(tab.model()->index(row, 0),
                                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
                    ++found;
                }
        return found == names.size();
    }
    std::unique_ptr<QMimeData> beginDrag() {
        return std::unique_ptr<QMimeData>(source->beginDrag(tab.outlineView->draggedItems()));
    }

    ProtectionService service;
    BrowserTab tab;
    std::unique_ptr<CacheDragSource> source;
};

} // namespace

class DragOutTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void theBrowserRowsCanOnlyBeDraggedOut();
    void offersTheCopiesStagedInAPrivateFolder();
    void aDragNotAcceptedTakesItsCopiesAway();
    void refusesToDragWithoutARuntimeFolder();
    void findsTheFolderOfADirectSaveUri_data();
    void findsTheFolderOfADirectSaveUri();
    void directSaveCopiesUnderFreeNamesAndAnswersS();
    void directSaveAnswersEForAnythingButALocalFolder();
    void rowsNoLongerInTheCacheAreNamedInTheRecoveryAlert();
    void removesOnlyTheLeftoversOfEndedRunsAtStartUp();
};

void DragOutTest::init() {
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void DragOutTest::cleanup() {
    clearTrashAndCache();
    for (const char *name : {"Desktop", "outside"})
        (void)sys::removeTreeAtPath(sys::homeFolder() + "/" + name);
    for (const std::string &name : stagingFolders())
        (void)sys::removeTreeAtPath(runtimeFolder() + "/" + name);
}

void DragOutTest::theBrowserRowsCanOnlyBeDraggedOut() {
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "a"));
    Browser browser;
    QVERIFY(browser.shows(1));
    CacheOutlineView *view = browser.tab.outlineView;
    QVERIFY(view->dragEnabled());
    QCOMPARE(view->dragDropMode(), QAbstractItemView::DragOnly);
    QVERIFY(!view->acceptDrops());
    QVERIFY(browser.tab.model()->flags(browser.tab.model()->index(0, 0)).testFlag(Qt::ItemIsDragEnabled));
    QCOMPARE(view->dragSource(), browser.source.get());
    // Off X there is no direct save: only the list of copies is offered.
    QVERIFY(!browser.source->offersDirectSave());
}

void DragOutTest::offersTheCopiesStagedInAPrivateFolder() {
    const std::string date = dateFolderNow();
    const std::string report = contentFor("Report.pdf", 70000);
    const std::string picture = contentFor("a.png", 12345);
    const std::string deep = contentFor("deep.txt", 3);
    QVERIFY(writeFile(date + "/.x_Report.pdf", report));
    QVERIFY(writeFile(date + "/.x_Pics/.x_a.png", picture));
    QVERIFY(writeFile(date + "/.x_Pics/.x_inner/.x_deep.txt", deep));
    QVERIFY(writeFile(date + "/.x_other.txt", "other"));
    Browser browser;
    QVERIFY(browser.shows(3));
    QVERIFY(browser.select({"Report.pdf", "Pics"}));
    QSignalSpy removed(browser.source.get(), &CacheDragSource::stagingRemoved);

    std::unique_ptr<QMimeData> data = browser.beginDrag();
    QVERIFY(data);
    QCOMPARE(data->formats(), QStringList{QStringLiteral("text/uri-list")});
    const std::string staging = browser.source->stagingPath().toStdString();
    QCOMPARE(stagingFolders().size(), size_t(1));
    QCOMPARE(staging, runtimeFolder() + "/" + stagingFolders().front());
    auto status = sys::stat(staging, sys::FollowLinks::No);
    QVERIFY(status);
    QVERIFY(S_ISDIR(status->st_mode));
    QCOMPARE(status->st_mode & 07777, mode_t(0700));
    QCOMPARE(status->st_uid, ::getuid());

    // Asked for at once, the list comes when the copies are done (the rows in the view's order).
    const QByteArray list = data->data(QStringLiteral("text/uri-list"));
    QVERIFY(browser.source->stagingDone());
    QCOMPARE(list, uriListOf({staging + "/Pics", staging + "/Report.pdf"}));
    QCOMPARE(data->urls().size(), 2);
    QCOMPARE(entriesOf(staging), (std::vector<std::string>{"Pics", "Report.pdf"}));
    QVERIFY(readAll(staging + "/Report.pdf") == report);
    QVERIFY(readAll(staging + "/Pics/a.png") == picture);
    QVERIFY(readAll(staging + "/Pics/inner/deep.txt") == deep);
    QCOMPARE(entriesOf(staging + "/Pics"), (std::vector<std::string>{"a.png", "inner"}));

    // Accepted: the file manager copies after the drop, so the copies stay until the next drag.
    browser.source->endDrag(Qt::CopyAction);
    QVERIFY(sys::exists(staging + "/Report.pdf"));
    QCOMPARE(removed.count(), 0);
    QVERIFY(browser.select({"other.txt"}));
    std::unique_ptr<QMimeData> next = browser.beginDrag();
    QVERIFY(next);
    QVERIFY(waitUntil([&] { return removed.count() == 1; }));
    QVERIFY(!sys::exists(staging));
    QCOMPARE(removed.first().first().toString().toStdString(), staging);
    const std::string nextStaging = browser.source->stagingPath().toStdString();
    QVERIFY(nextStaging != staging);
    QCOMPARE(next->data(QStringLiteral("text/uri-list")), uriListOf({nextStaging + "/other.txt"}));
    QCOMPARE(readAll(nextStaging + "/other.txt"), std::string("other"));
    browser.source->endDrag(Qt::CopyAction);
    // And the last drag's copies go with the program. The cache keeps its own.
    data.reset();
    next.reset();
    browser.source.reset();
    QVERIFY(stagingFolders().empty());
    QVERIFY(readAll(date + "/.x_Report.pdf") == report);
}

void DragOutTest::aDragNotAcceptedTakesItsCopiesAway() {
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_big.bin", contentFor("big.bin", 4 << 20)));
    Browser browser;
    QVERIFY(browser.shows(1));
    QVERIFY(browser.select({"big.bin"}));
    QSignalSpy removed(browser.source.get(), &CacheDragSource::stagingRemoved);
    QSignalSpy staged(browser.source.get(), &CacheDragSource::stagingFinished);

    // Cancelled before anything asked for the list: the folder goes once its copies are done.
    std::unique_ptr<QMimeData> data = browser.beginDrag();
    QVERIFY(data);
    const QString staging = browser.source->stagingPath();
    browser.source->endDrag(Qt::IgnoreAction);
    QVERIFY(waitUntil([&] { return removed.count() == 1; }, 30000));
    QCOMPARE(staged.count(), 1);
    QVERIFY(staged.first().at(1).toStringList().isEmpty());
    QCOMPARE(removed.first().first().toString(), staging);
    QVERIFY(stagingFolders().empty());

    // Dropped somewhere that took the list, then refused: gone as well.
    data = browser.beginDrag();
    QVERIFY(data);
    QVERIFY(!data->data(QStringLiteral("text/uri-list")).isEmpty());
    browser.source->endDrag(Qt::IgnoreAction);
    QVERIFY(waitUntil([&] { return removed.count() == 2; }));
    QVERIFY(stagingFolders().empty());
}

void DragOutTest::refusesToDragWithoutARuntimeFolder() {
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "a"));
    Browser browser;
    QVERIFY(browser.shows(1));
    QVERIFY(browser.select({"a.txt"}));
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    std::unique_ptr<QMimeData> data = browser.beginDrag();
    qputenv("XDG_RUNTIME_DIR", runtime);
    QVERIFY(!data);
    QDialog *sheet = waitForDialog(QStringLiteral("The items cannot be dragged out."), 5000);
    QVERIFY(sheet);
    QVERIFY(sheet->accessibleDescription().contains(QStringLiteral("XDG_RUNTIME_DIR")));
    QVERIFY(answerDialog(QStringLiteral("The items cannot be dragged out."), QStringLiteral("OK")));
    QVERIFY(stagingFolders().empty());
}

void DragOutTest::findsTheFolderOfADirectSaveUri_data() {
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<QString>("folder"); // empty: refused
    // The folders are made by the test itself (cleanup() removes them after every row).
    const QString d = QString::fromStdString(sys::homeFolder() + "/Desktop");
    const QByteArray u = QUrl::fromLocalFile(d).toEncoded();
    QTest::newRow("a file in an existing folder") << u + "/Report.pdf" << d;
    QTest::newRow("with a trailing zero byte") << u + "/Report.pdf" + QByteArray(1, '\0') << d;
    QTest::newRow("localhost") << "file://localhost" + QUrl::fromLocalFile(d).path().toUtf8() + "/a" << d;
    QTest::newRow("an escaped folder name") << u + "/with%20space/a.txt" << d + "/with space";
    QTest::newRow("a folder that does not exist") << u + "/missing/a.txt" << QString();
    QTest::newRow("a file as the folder") << u + "/plain.txt/a.txt" << QString();
    QTest::newRow("no file name") << u + "/" << QString();
    QTest::newRow("another machine") << "file://elsewhere.example" + QUrl::fromLocalFile(d).path().toUtf8() + "/a"
                                     << QString();
    QTest::newRow("not a file URI") << QByteArray("http://example.com/a.txt") << QString();
    QTest::newRow("a relative path") << QByteArray("Desktop/a.txt") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void DragOutTest::findsTheFolderOfADirectSaveUri() {
    QFETCH(QByteArray, uri);
    QFETCH(QString, folder);
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(sys::makeDirectories(desktop + "/with space", 0700));
    QVERIFY(writeFile(desktop + "/plain.txt", "x"));
    std::optional<QString> found = CacheDragSource::directSaveFolder(uri);
    if (folder.isEmpty())
        QVERIFY2(!found, qPrintable(found.value_or(QString())));
    else
        QCOMPARE(found.value_or(QStringLiteral("<none>")), folder);
}

void DragOutTest::directSaveCopiesUnderFreeNamesAndAnswersS() {
    const std::string date = dateFolderNow();
    const std::string report = contentFor("Report.pdf", 54321);
    const std::string picture = contentFor("a.png", 999);
    QVERIFY(writeFile(date + "/.x_Report.pdf", report));
    QVERIFY(writeFile(date + "/.x_Pics/.x_a.png", picture));
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(writeFile(desktop + "/Report.pdf", "mine"));
    QVERIFY(writeFile(desktop + "/Report-1.pdf", "mine too"));
    QVERIFY(writeFile(desktop + "/Pics/keep.txt", "kept"));
    Browser browser;
    auto property = std::make_unique<StandInProperty>();
    StandInProperty &window = *property;
    browser.source->setDirectSaveProperty(std::move(property));
    QVERIFY(browser.shows(2));
    QVERIFY(browser.select({"Report.pdf", "Pics"}));
    QSignalSpy saved(browser.source.get(), &CacheDragSource::directSaveFinished);

    std::unique_ptr<QMimeData> data = browser.beginDrag();
    QVERIFY(data);
    QCOMPARE(data->formats(), (QStringList{QStringLiteral("text/uri-list"), QStringLiteral("XdndDirectSave0")}));
    browser.source->dragStarted();
    // The name proposed is the first row's visible name.
    QCOMPARE(window.written, QByteArray("Pics"));
    window.value = QUrl::fromLocalFile(QString::fromStdString(desktop + "/Pics")).toEncoded();
    // The recovery's progress sheet is up while the rows are copied, and gone with the answer.
    bool sheetSeen = false;
    QTimer::singleShot(0, &browser.tab, [&] {
        for (QProgressDialog *sheet : browser.tab.findChildren<QProgressDialog *>())
            sheetSeen = sheetSeen || (sheet->isVisible() && sheet->accessibleName() == CacheRecoverer::recoveringTitle());
    });
    QCOMPARE(data->data(QStringLiteral("XdndDirectSave0")), QByteArray("S"));
    QVERIFY(sheetSeen);
    for (QProgressDialog *sheet : browser.tab.findChildren<QProgressDialog *>())
        QVERIFY(!sheet->isVisible());
    // "S" comes once the copies are there: a file manager shows the folder as it gets it.
    QCOMPARE(saved.count(), 1);
    QVERIFY(readAll(desktop + "/Report-2.pdf") == report);
    browser.source->endDrag(Qt::CopyAction);
    // The target may still ask for data until the drag's data is released.
    QVERIFY(sys::exists(browser.source->stagingPath().toStdString()));
    data.reset();
    QVERIFY(waitUntil([&] { return saved.count() == 1; }, 30000));
    QCOMPARE(saved.first().at(0).toString().toStdString(), desktop);
    QVERIFY2(saved.first().at(1).toStringList().isEmpty(), qPrintable(saved.first().at(1).toStringList().join('\n')));
    QCOMPARE(entriesOf(desktop),
             (std::vector<std::string>{"Pics", "Pics-1", "Report-1.pdf", "Report-2.pdf", "Report.pdf"}));
    QVERIFY(readAll(desktop + "/Report-2.pdf") == report);
    QVERIFY(readAll(desktop + "/Pics-1/a.png") == picture);
    QCOMPARE(readAll(desktop + "/Report.pdf"), std::string("mine"));
    QCOMPARE(entriesOf(desktop + "/Pics"), std::vector<std::string>{"keep.txt"});
    // The list was never asked for: the staging folder is gone once its copies are done.
    QVERIFY(waitUntil([&] { return stagingFolders().empty(); }, 30000));
}

void DragOutTest::directSaveAnswersEForAnythingButALocalFolder() {
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "a"));
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(sys::makeDirectories(desktop, 0700));
    Browser browser;
    auto property = std::make_unique<StandInProperty>();
    StandInProperty &window = *property;
    browser.source->setDirectSaveProperty(std::move(property));
    QVERIFY(browser.shows(1));
    QVERIFY(browser.select({"a.txt"}));
    QSignalSpy saved(browser.source.get(), &CacheDragSource::directSaveFinished);
    const std::vector<std::optional<QByteArray>> refused = {
        std::nullopt,                    // the target put nothing
        QByteArray("a.txt"),             // the proposed name left as it was
        QByteArray("ftp://host/a.txt"),  // not a local file
        QUrl::fromLocalFile(QString::fromStdString(desktop + "/gone/a.txt")).toEncoded(),
    };
    for (const std::optional<QByteArray> &value : refused) {
        std::unique_ptr<QMimeData> data = browser.beginDrag();
        QVERIFY(data);
        browser.source->dragStarted();
        window.value = value;
        QCOMPARE(data->data(QStringLiteral("XdndDirectSave0")), QByteArray("E"));
        browser.source->endDrag(Qt::IgnoreAction);
    }
    QVERIFY(waitUntil([&] { return browser.service.idle(); }, 30000));
    QCOMPARE(saved.count(), 0);
    QVERIFY(entriesOf(desktop).empty());
}

void DragOutTest::rowsNoLongerInTheCacheAreNamedInTheRecoveryAlert() {
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_gone.txt", "gone"));
    QVERIFY(writeFile(date + "/.x_kept.txt", "kept"));
    const std::string desktop = sys::homeFolder() + "/Desktop";
    QVERIFY(sys::makeDirectories(desktop, 0700));
    Browser browser;
    auto property = std::make_unique<StandInProperty>();
    StandInProperty &window = *property;
    browser.source->setDirectSaveProperty(std::move(property));
    QVERIFY(browser.shows(2));
    QVERIFY(browser.select({"gone.txt", "kept.txt"}));
    // Deleted behind the browser's back (the housekeeping daemon's age limit, say).
    QVERIFY(sys::unlink(date + "/.x_gone.txt"));
    const QString alertTitle = CacheRecoverer::failureMessage();

    // The list holds what could be copied; the alert names what could not.
    std::unique_ptr<QMimeData> data = browser.beginDrag();
    QVERIFY(data);
    const std::string staging = browser.source->stagingPath().toStdString();
    QCOMPARE(data->data(QStringLiteral("text/uri-list")), uriListOf({staging + "/kept.txt"}));
    QDialog *alert = waitForDialog(alertTitle, 10000);
    QVERIFY(alert);
    QVERIFY(alert->accessibleDescription().startsWith(CacheRecoverer::failureInformative()));
    QVERIFY2(alert->accessibleDescription().contains(QString::fromStdString(date + "/.x_gone.txt")),
             qPrintable(alert->accessibleDescription()));
    QVERIFY(!alert->accessibleDescription().contains(QStringLiteral("kept.txt")));
    QVERIFY(answerDialog(alertTitle, QStringLiteral("OK")));
    browser.source->endDrag(Qt::CopyAction);

    // The same through a direct save.
    QSignalSpy saved(browser.source.get(), &CacheDragSource::directSaveFinished);
    data = browser.beginDrag();
    QVERIFY(data);
    browser.source->dragStarted();
    window.value = QUrl::fromLocalFile(QString::fromStdString(desktop + "/gone.txt")).toEncoded();
    QCOMPARE(data->data(QStringLiteral("XdndDirectSave0")), QByteArray("S"));
    QVERIFY(waitUntil([&] { return saved.count() == 1; }, 30000));
    const QStringList failures = saved.first().at(1).toStringList();
    QCOMPARE(failures.size(), 1);
    QVERIFY(failures.first().startsWith(QString::fromStdString(date + "/.x_gone.txt")));
    alert = waitForDialog(alertTitle, 10000);
    QVERIFY(alert);
    QVERIFY(alert->accessibleDescription().contains(failures.first()));
    QVERIFY(answerDialog(alertTitle, QStringLiteral("OK")));
    QCOMPARE(entriesOf(desktop), std::vector<std::string>{"kept.txt"});
    QCOMPARE(readAll(desktop + "/kept.txt"), std::string("kept"));
    browser.source->endDrag(Qt::CopyAction);
    data.reset();

    // Nothing of the drop could be copied: the answer is "E", not a success.
    QVERIFY(browser.select({"gone.txt"}));
    data = browser.beginDrag();
    QVERIFY(data);
    browser.source->dragStarted();
    window.value = QUrl::fromLocalFile(QString::fromStdString(desktop + "/gone.txt")).toEncoded();
    QCOMPARE(data->data(QStringLiteral("XdndDirectSave0")), QByteArray("E"));
    QCOMPARE(saved.count(), 2);
    QVERIFY(waitForDialog(alertTitle, 10000));
    QVERIFY(answerDialog(alertTitle, QStringLiteral("OK")));
    QCOMPARE(entriesOf(desktop), std::vector<std::string>{"kept.txt"});
    browser.source->endDrag(Qt::CopyAction);
    data.reset();
}

void DragOutTest::removesOnlyTheLeftoversOfEndedRunsAtStartUp() {
    const std::string runtime = runtimeFolder();
    const std::string left = runtime + "/" + DragStaging::kNamePrefix + "a1b2c3";
    QVERIFY(writeFile(left + "/Report.pdf", "left behind"));
    QVERIFY(writeFile(left + "/Pics/a.png", "left behind"));
    // A link under the name leads elsewhere: neither it nor what it leads to is touched.
    const std::string outside = sys::homeFolder() + "/outside";
    QVERIFY(writeFile(outside + "/keep.txt", "keep"));
    const std::string link = runtime + "/" + DragStaging::kNamePrefix + "link00";
    std::filesystem::create_directory_symlink(outside, link);
    // Another name, and a drag that runs now (its folder is held).
    QVERIFY(writeFile(runtime + "/quillet-other/keep.txt", "keep"));
    sys::Result<DragStaging> running = DragStaging::create(runtime);
    QVERIFY(running);
    QVERIFY(writeFile(running->path() + "/copy.txt", "in use"));

    // The window removes them as it starts.
    MainController controller(testOptions());
    confineToOwnDaemons(controller.service());
    QSignalSpy cleaned(&controller.dragSource(), &CacheDragSource::leftoversRemoved);
    QVERIFY(controller.init());
    QVERIFY(waitUntil([&] { return cleaned.count() == 1; }));
    QCOMPARE(cleaned.first().first().toInt(), 1);
    QVERIFY(!sys::exists(left));
    QVERIFY(sys::exists(link));
    QCOMPARE(readAll(outside + "/keep.txt"), std::string("keep"));
    QCOMPARE(readAll(runtime + "/quillet-other/keep.txt"), std::string("keep"));
    QCOMPARE(readAll(running->path() + "/copy.txt"), std::string("in use"));
    QCOMPARE(controller.browserTab()->outlineView->dragSource(), &controller.dragSource());

    QVERIFY(running->remove());
    QVERIFY(!sys::exists(running->path()));
    (void)sys::unlink(link);
    (void)sys::removeTreeAtPath(runtime + "/quillet-other");
    QCOMPARE(DragStaging::removeLeftovers(runtime), 0);
}

QUILLET_APP_TEST_MAIN(DragOutTest)

#include "dragOut_test.moc"
