// Start-up and the main window: the system-version and installation gates, the three tabs with
// their window sizes, the settings request left by the companion.

#include "AppKeyring.h"

#include "MainTabView.h"
#include "PasswordLock.h"
#include "StatusTab.h"

#include "platform/System.h"

#include <QDBusConnection>
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QtTest>

#include <fstream>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

// The browser tab's password is passwordLock_test's subject: here the lock is off, once the
// keyring (the test's own, which holds no password) has answered.
bool browserUnlocked(MainController &controller) {
    PasswordLock &lock = controller.passwordLock();
    if (!waitUntil([&] { return lock.startCheckDone(); }))
        return false;
    lock.setMustAskForPassword(false);
    return true;
}

} // namespace

class MainControllerTest : public QObject {
    Q_OBJECT
private slots:
    void refusesAKernelOlderThanRenameat2();
    void refusesToRunFromARemovableVolume();
    void tabsSizeTheWindowAndKeepItsTopEdge();
    void opensOnTheSettingsTabWhenTheCompanionAskedForIt();
    void tabsAreReachableWithTheKeyboard();
    void theCompanionsSignalOnTheSessionBusShowsTheSettings();
    void everyControlHasANameAndTakesTheKeyboard();
    void helpOpensTheInstalledManualAndTheLinkItsAddress();
};

void MainControllerTest::refusesAKernelOlderThanRenameat2() {
    StartupOptions options = testOptions();
    options.systemVersion = 0x030E00; // 3.14
    MainController controller(options);
    answerDialogLater(QStringLiteral("Bad System version!"), QStringLiteral("Quit"));
    QVERIFY(!controller.init());
    QVERIFY(!controller.isVisible());

    options.systemVersion = 0x030F00; // 3.15 runs
    MainController supported(options);
    QVERIFY(supported.init());
}

void MainControllerTest::refusesToRunFromARemovableVolume() {
    const std::string roots = std::getenv("QUILLET_VOLUME_ROOTS");
    StartupOptions options = testOptions();
    options.executablePath = roots + "/USB/Quillet/bin/Quillet";
    MainController controller(options);
    QVERIFY(controller.init());
    answerDialogLater(QStringLiteral("Bad installation!"), QStringLiteral("Quit"));
    QVERIFY(!controller.awakeFromNib());
    QVERIFY(!controller.isVisible());
}

void MainControllerTest::tabsSizeTheWindowAndKeepItsTopEdge() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QVERIFY(QTest::qWaitForWindowExposed(&controller));
    QVERIFY(browserUnlocked(controller));
    MainTabView *tabs = controller.mainTabView();
    QCOMPARE(tabs->currentIdentifier(), QStringLiteral("1"));
    QCOMPARE(controller.height(), kStatusTabHeight);
    const int width = controller.width();
    const int top = controller.y();

    struct Step {
        const char *identifier;
        int height;
        int minimum;
        int maximum;
    };
    const Step steps[] = {{"3", kBrowserTabHeight, kBrowserTabHeight, kBrowserMaximumHeight},
                          {"2", kSettingsTabHeight, kSettingsTabHeight, kSettingsTabHeight},
                          {"1", kStatusTabHeight, kStatusTabHeight, kStatusTabHeight}};
    for (const Step &step : steps) {
        QVERIFY2(tabs->selectTab(QString::fromLatin1(step.identifier)), step.identifier);
        QCOMPARE(tabs->currentIdentifier(), QString::fromLatin1(step.identifier));
        QCOMPARE(controller.height(), step.height);
        QCOMPARE(controller.minimumHeight(), step.minimum);
        QCOMPARE(controller.maximumHeight(), step.maximum);
        QCOMPARE(controller.minimumWidth(), width);
        QCOMPARE(controller.maximumWidth(), width);
        QCOMPARE(controller.width(), width);
        QCOMPARE(controller.y(), top);
    }
    // A browser tab made taller, then left for the status tab: 560 high, top edge in place.
    QVERIFY(tabs->selectTab(QStringLiteral("3")));
    controller.resize(width, 900);
    QCOMPARE(controller.height(), 900);
    QVERIFY(tabs->selectTab(QStringLiteral("1")));
    QCOMPARE(controller.height(), kStatusTabHeight);
    QCOMPARE(controller.y(), top);
}

void MainControllerTest::opensOnTheSettingsTabWhenTheCompanionAskedForIt() {
    StartupOptions options = testOptions();
    QVERIFY(sys::makeDirectories(sys::parentPath(options.settingsFlagPath), 0700));
    { std::ofstream(options.settingsFlagPath).put('\n'); }
    MainController controller(options);
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("2"));
    QVERIFY(!sys::stat(options.settingsFlagPath, sys::FollowLinks::No));

    // Without the request it opens on the status tab.
    MainController again(options);
    QVERIFY(again.init());
    QVERIFY(again.awakeFromNib());
    QCOMPARE(again.mainTabView()->currentIdentifier(), QStringLiteral("1"));
}

void MainControllerTest::tabsAreReachableWithTheKeyboard() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QVERIFY(QTest::qWaitForWindowExposed(&controller));
    QVERIFY(browserUnlocked(controller));
    QTabBar *bar = findByName<QTabBar>(QStringLiteral("Tabs"), &controller);
    QVERIFY(bar);
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("2"));
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("3"));
    QTest::keyClick(bar, Qt::Key_Left);
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("2"));
    // The start/stop button takes the keyboard focus.
    auto *button = findByName<QPushButton>(QStringLiteral("Start or stop protection"), &controller);
    QVERIFY(button);
    QVERIFY(button->focusPolicy() & Qt::TabFocus);
}

void MainControllerTest::theCompanionsSignalOnTheSessionBusShowsTheSettings() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") || !QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus (dbus-run-session is missing)");
    StartupOptions options = testOptions();
    options.listenOnSessionBus = true;
    MainController controller(options);
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("1"));

    // Sent as the companion sends it, by another process on the bus.
    const int status = std::system("dbus-send --session --type=signal /com/plx/Quillet "
                                   "com.plx.Quillet.kNotificationShowSettings");
    QCOMPARE(status, 0);
    QVERIFY(waitUntil([&] { return controller.mainTabView()->currentIdentifier() == QStringLiteral("2"); }));

    // Another member or path of the interface does nothing.
    QVERIFY(controller.mainTabView()->selectTab(QStringLiteral("1")));
    QCOMPARE(std::system("dbus-send --session --type=signal /com/plx/Other com.plx.Quillet.kNotificationShowSettings"), 0);
    QCOMPARE(std::system("dbus-send --session --type=signal /com/plx/Quillet com.plx.Quillet.somethingElse"), 0);
    QTest::qWait(300);
    QCOMPARE(controller.mainTabView()->currentIdentifier(), QStringLiteral("1"));
}

void MainControllerTest::everyControlHasANameAndTakesTheKeyboard() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    int controls = 0;
    // The tabs and what they hold; the menus are checked by their actions below.
    for (QWidget *widget : controller.mainTabView()->findChildren<QWidget *>()) {
        const bool isControl = qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget) ||
                               qobject_cast<QComboBox *>(widget) || qobject_cast<QAbstractItemView *>(widget) ||
                               qobject_cast<QTabBar *>(widget);
        // The tab bar's scroll arrows and a view's headers and scroll bars are parts of those
        // controls, named by Qt.
        QWidget *parent = widget->parentWidget();
        if (!isControl || parent == controller.mainTabView()->tabBar() || qobject_cast<QHeaderView *>(widget) ||
            (parent && qobject_cast<QAbstractItemView *>(parent->parentWidget())))
            continue;
        ++controls;
        QVERIFY2(!widget->accessibleName().isEmpty(),
                 qPrintable(QStringLiteral("%1 under %2 (%3)")
                                .arg(QString::fromLatin1(widget->metaObject()->className()),
                                     parent ? QString::fromLatin1(parent->metaObject()->className()) : QString(),
                                     parent ? parent->accessibleName() : QString())));
        QVERIFY2(widget->focusPolicy() & Qt::TabFocus, qPrintable(widget->accessibleName()));
    }
    QVERIFY(controls >= 20);
    for (QAction *action : {controller.startStopMenuItem, controller.uninstallMenuItem, controller.checkUpdateMenuItem,
                            controller.helpMenuItem, controller.quitMenuItem, controller.recoverSelectionItemMenuItem})
        QVERIFY(!action->text().isEmpty());
    QVERIFY(!controller.startStopMenuItem->shortcut().isEmpty());
    QVERIFY(!controller.quitMenuItem->shortcut().isEmpty());
    QVERIFY(!controller.helpMenuItem->shortcut().isEmpty());
}

void MainControllerTest::helpOpensTheInstalledManualAndTheLinkItsAddress() {
    MainController controller(testOptions());
    QVERIFY(controller.init());
    QVERIFY(controller.awakeFromNib());
    QList<QUrl> opened;
    controller.openUrl = [&](const QUrl &url) { opened.append(url); };
    controller.helpMenuItem->trigger();
    QCOMPARE(opened.size(), 1);
    QVERIFY(opened[0].isLocalFile());
    QVERIFY(opened[0].toLocalFile().endsWith(QStringLiteral("/share/quillet/help/index.html")));
    QVERIFY(QFileInfo::exists(opened[0].toLocalFile()));

    auto *link = findByName<QPushButton>(QStringLiteral("Web site"), &controller);
    QVERIFY(link);
    link->click();
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[1], QUrl(link->text()));
    QVERIFY(opened[1].scheme() == QStringLiteral("https"));
}

QUILLET_APP_KEYRING_TEST_MAIN(MainControllerTest)
#include "mainController_test.moc"
