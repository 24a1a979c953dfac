// The update check as the user meets it, against a real HTTP server on loopback: a newer
// version offers the download page, the running one (or an older one, or a page without a
// version, or none at all) shows nothing unless confirmation was asked for, a server that never
// answers gives up after the time-out, and the versions are compared as numbers.

#include "AppTestSupport.h"

#include "ProtectionService.h"
#include "UpdatePresenter.h"
#include "ZRAppDelegate.h"

#include "HttpTestServer.h"
#include "TestDir.h"

#include "support/BuildInfo.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

class UpdatePresenterTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void aNewerVersionOffersTheDownloadPage();
    void nothingNewShowsNothingUnlessConfirmationWasAskedFor_data();
    void nothingNewShowsNothingUnlessConfirmationWasAskedFor();
    void aServerThatNeverAnswersIsGivenUpAfterTheTimeOut();
    void theLaunchCheckFollowsTheSetting();

private:
    UpdateCheckResult check(MainController &controller, const std::string &url, bool confirmAnyway);

    std::unique_ptr<test::TestDir> _pages;
    std::unique_ptr<test::HttpTestServer> _server;
};

void UpdatePresenterTest::initTestCase() {
    if (std::string missing = test::HttpTestServer::missingTools(); !missing.empty())
        QSKIP(missing.c_str());
    _pages = std::make_unique<test::TestDir>();
    _server = std::make_unique<test::HttpTestServer>(_pages->path());
    QVERIFY2(_server->started(), _server->failure().c_str());
    const std::string running = applicationVersion();
    _server->addPage("newer.html", "<html><body><h1>Quillet <b>99.0.1</b></h1></body></html>");
    _server->addPage("same.html", "<p>Quillet " + running + " for Linux</p>");
    _server->addPage("older.html", "<p>Quillet 0.0.1</p>");
    _server->addPage("noversion.html", "<p>Quillet is great</p>");
}

UpdateCheckResult UpdatePresenterTest::check(MainController &controller, const std::string &url, bool confirmAnyway) {
    UpdatePresenter &presenter = controller.updatePresenter();
    presenter.request().pageUrl = url;
    QSignalSpy checked(&presenter, &UpdatePresenter::versionWasChecked);
    presenter.checkLatestVersion(true, confirmAnyway);
    // A second request while one runs is dropped, not doubled.
    presenter.checkLatestVersion(true, confirmAnyway);
    if (!checked.wait(15000))
        return {};
    QTest::qWait(100);
    if (checked.count() != 1)
        qWarning("checked %lld times", static_cast<long long>(checked.count()));
    return checked.first().first().value<UpdateCheckResult>();
}

void UpdatePresenterTest::aNewerVersionOffersTheDownloadPage() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QUrl opened;
    controller.updatePresenter().openUrl = [&](const QUrl &url) { opened = url; };

    UpdateCheckResult result = check(controller, _server->url("/page/newer.html"), false);
    QVERIFY(result.newVersionAvailable);
    QCOMPARE(result.newVersionString, std::string("99.0.1"));
    QDialog *offer = waitForDialog(QStringLiteral("A new version of Quillet is available"));
    QVERIFY(offer);
    QVERIFY(offer->findChildren<QLabel *>().size() > 0);
    bool namesVersion = false;
    for (QLabel *label : offer->findChildren<QLabel *>())
        namesVersion = namesVersion || label->text().contains(QStringLiteral("99.0.1"));
    QVERIFY(namesVersion);

    // "Not Now" opens nothing; the download button opens the download page.
    QVERIFY(answerDialog(QStringLiteral("A new version of Quillet is available"), QStringLiteral("Not Now")));
    QVERIFY(opened.isEmpty());
    check(controller, _server->url("/page/newer.html"), false);
    QVERIFY(answerDialog(QStringLiteral("A new version of Quillet is available"), QStringLiteral("Open Download Page")));
    QCOMPARE(opened, QUrl(QStringLiteral("https://www.quillet.example/download.html")));
}

void UpdatePresenterTest::nothingNewShowsNothingUnlessConfirmationWasAskedFor_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("versionNotFound");
    QTest::addColumn<bool>("urlNotFound");
    QTest::newRow("the running version") << "/page/same.html" << false << false;
    QTest::newRow("an older version") << "/page/older.html" << false << false;
    QTest::newRow("a page without a version") << "/page/noversion.html" << true << false;
    QTest::newRow("no page") << "/missing" << false << true;
}

void UpdatePresenterTest::nothingNewShowsNothingUnlessConfirmationWasAskedFor() {
    QFETCH(QString, path);
    QFETCH(bool, versionNotFound);
    QFETCH(bool, urlNotFound);
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());

    UpdateCheckResult result = check(controller, _server->url(path.toStdString()), false);
    QVERIFY(!result.newVersionAvailable);
    QCOMPARE(result.versionNotFound, versionNotFound);
    QCOMPARE(result.urlNotFound, urlNotFound);
    QCOMPARE(result.newVersionString, applicationVersion());
    QVERIFY(!waitForDialog(QStringLiteral("Quillet is up to date"), 300));
    QVERIFY(!waitForDialog(QStringLiteral("A new version of Quillet is available"), 0));

    check(controller, _server->url(path.toStdString()), true);
    QVERIFY(answerDialog(QStringLiteral("Quillet is up to date"), QStringLiteral("OK")));
}

void UpdatePresenterTest::aServerThatNeverAnswersIsGivenUpAfterTheTimeOut() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    controller.updatePresenter().request().timeout = std::chrono::milliseconds(1000);
    QElapsedTimer clock;
    clock.start();
    UpdateCheckResult result = check(controller, _server->url("/hang"), false);
    QVERIFY(result.urlNotFound);
    QVERIFY(!result.newVersionAvailable);
    // The window went on meanwhile: the check ran on a job, not on the event loop.
    QVERIFY(controller.isVisible());
}

void UpdatePresenterTest::theLaunchCheckFollowsTheSetting() {
    qputenv("QUILLET_UPDATE_URL", QByteArray::fromStdString(_server->url("/page/newer.html")));
    for (int setting : {0, 1}) {
        MainController controller(testOptions());
        QVERIFY(controller.init());
        controller.service().mirror().set(prefs::kAppPrefsCheckUpdates, PrefValue(int64_t(setting)));
        controller.updatePresenter().request() = UpdateCheck::Request();
        QVERIFY(controller.awakeFromNib());
        QSignalSpy checked(&controller.updatePresenter(), &UpdatePresenter::versionWasChecked);
        controller.appDelegate()->applicationDidFinishLaunching();
        QCOMPARE(controller.updatePresenter().checking(), setting == 1);
        if (setting == 1) {
            QVERIFY(checked.wait(15000));
            QVERIFY(answerDialog(QStringLiteral("A new version of Quillet is available"), QStringLiteral("Not Now")));
        }
    }
    qunsetenv("QUILLET_UPDATE_URL");
}

QUILLET_APP_TEST_MAIN(UpdatePresenterTest)
#include "updatePresenter_test.moc"
