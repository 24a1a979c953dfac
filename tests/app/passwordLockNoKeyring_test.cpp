// The password lock on a desktop without a keyring (no Secret Service on the session bus): the
// lock stays as the settings last recorded it. A lock that was set stays on and cannot be
// opened; a user who never set one is not locked out of the cache.

#include "AppTestSupport.h"

#include "MainTabView.h"
#include "PasswordLock.h"

#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"

#include <QtTest>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

class PasswordLockNoKeyringTest : public QObject {
    Q_OBJECT
private slots:
    void aLockThatWasNeverSetDoesNotShutTheBrowser();
    void aLockThatWasSetStaysShut();
};

namespace {

std::unique_ptr<MainController> startedController() {
    auto controller = std::make_unique<MainController>(testOptions());
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    waitUntil([&] { return controller->passwordLock().startCheckDone(); });
    return controller;
}

} // namespace

void PasswordLockNoKeyringTest::aLockThatWasNeverSetDoesNotShutTheBrowser() {
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kAppMustAskForPassword, PrefValue(0)));
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(controller->passwordLock().startCheckDone());
    QVERIFY(controller->mainTabView()->selectTab(QStringLiteral("3")));
    QCOMPARE(controller->mainTabView()->currentIdentifier(), QStringLiteral("3"));
}

void PasswordLockNoKeyringTest::aLockThatWasSetStaysShut() {
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kAppMustAskForPassword, PrefValue(1)));
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(controller->passwordLock().startCheckDone());
    QVERIFY(!controller->mainTabView()->selectTab(QStringLiteral("3")));
    QCOMPARE(controller->mainTabView()->currentIdentifier(), QStringLiteral("1"));
    // It asks, and no password opens it while the keyring cannot be read.
    QVERIFY(waitForDialog(QStringLiteral("Enter the password of the cache browser")));
}

QUILLET_APP_TEST_MAIN(PasswordLockNoKeyringTest)
#include "passwordLockNoKeyring_test.moc"
