// The password lock of the cache browser against a real Secret Service (a gnome-keyring daemon
// on the test program's own session bus): the lock taken from the keyring at start-up, creating
// the password, the browser tab asking for it every time, turning the lock off, and the tab left
// alone while another sheet is up.
//
// The settings are saved once, and a save restarts whatever protection it finds running: the
// controller sees only the daemons this program launched (OwnDaemons.h), which are none.

#include "AppKeyring.h"

#include "OwnDaemons.h"

#include "MainTabView.h"
#include "PasswordLock.h"
#include "PasswordPanels.h"
#include "ProtectionService.h"
#include "SettingsController.h"
#include "SettingsTab.h"

#include "control/DaemonControl.h"
#include "platform/Keyring.h"
#include "platform/Log.h"
#include "platform/System.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <mutex>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

const QString kCreate = QStringLiteral("Choose a password for the cache browser");
const QString kAsk = QStringLiteral("Enter the password of the cache browser");
const QString kNotSaved = QStringLiteral("Settings not saved!");
const QString kBox = QStringLiteral("Ask for a password to open the cache browser");
const QString kDays = QStringLiteral("Days to keep data");
const char kPassword[] = "open s\xc3\xa9same 1";

std::optional<int64_t> storedFlag() {
    auto stored = PreferencesDomain(kQuilletDomain).read();
    if (!stored)
        return std::nullopt;
    auto found = stored->find(prefs::kAppMustAskForPassword);
    if (found == stored->end())
        return std::nullopt;
    return found->second.integerValue();
}

sys::KeyringState itemState() { return sys::Keyring().findItem().state; }

class LogCapture {
public:
    LogCapture() {
        sys::setLogSink([this](std::string_view line) {
            std::lock_guard lock(_mutex);
            _lines.emplace_back(line);
        });
    }
    ~LogCapture() { sys::setLogSink({}); }
    bool has(std::string_view wanted) {
        std::lock_guard lock(_mutex);
        return std::find(_lines.begin(), _lines.end(), wanted) != _lines.end();
    }

private:
    std::mutex _mutex;
    std::vector<std::string> _lines;
};

} // namespace

class PasswordLockTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void withoutAnItemTheBrowserOpensWithoutAQuestion();
    void creatingAPasswordTakesTwoIdenticalEntries();
    void theBrowserAsksForThePasswordEveryTime();
    void turningTheLockOffTakesThePassword();
    void theBrowserTabWaitsWhileAnotherSheetIsUp();
    void aPasswordMissingWhenAskedIsAKeychainProblem();

private:
    bool start();
    bool keyringAnswered() {
        return waitUntil([&] { return !_controller->passwordLock().keyringBusy(); });
    }
    /// Types text into the field of the visible sheet named sheet and presses OK; true once the
    /// keyring has answered.
    bool typeAndConfirm(const QString &sheet, const QString &field, const QString &text,
                        const QString &confirmField = {});
    bool visible(const QString &sheet) { return waitForDialog(sheet, 0) != nullptr; }
    QString current() const { return _controller->mainTabView()->currentIdentifier(); }
    QCheckBox *box() { return findByName<QCheckBox>(kBox, _controller.get()); }
    bool saveEnabled() { return _controller->settingsTab()->saveSettingsButton->isEnabled(); }
    bool nextComparison() {
        QSignalSpy compared(&_controller->settingsController(), &SettingsController::snapshotCompared);
        return compared.wait(5000) && compared.last().at(0).toBool();
    }

    std::unique_ptr<MainController> _controller;
};

void PasswordLockTest::init() {
    if (!PrivateKeyring::unavailable().empty())
        QSKIP(("no keyring daemon for the test: " + PrivateKeyring::unavailable()).c_str());
    const sys::KeyringAnswer removed = sys::Keyring().deleteItem();
    QVERIFY2(removed.state != sys::KeyringState::Error, removed.error.c_str());
    (void)sys::unlink(PreferencesDomain(kQuilletDomain).path());
}

void PasswordLockTest::cleanup() { _controller.reset(); }

bool PasswordLockTest::start() {
    _controller = std::make_unique<MainController>(testOptions());
    confineToOwnDaemons(_controller->service());
    if (!_controller->init() || !_controller->awakeFromNib() || !QTest::qWaitForWindowExposed(_controller.get()))
        return false;
    return waitUntil([&] { return _controller->passwordLock().startCheckDone(); }) && keyringAnswered();
}

bool PasswordLockTest::typeAndConfirm(const QString &sheet, const QString &field, const QString &text,
                                      const QString &confirmField) {
    QDialog *dialog = waitForDialog(sheet);
    if (!dialog)
        return false;
    auto *line = findByName<QLineEdit>(field, dialog);
    if (!line || line->echoMode() != QLineEdit::Password)
        return false;
    line->setText(text);
    if (!confirmField.isEmpty()) {
        auto *confirm = findByName<QLineEdit>(confirmField, dialog);
        if (!confirm)
            return false;
        confirm->setText(text);
    }
    auto *ok = findByName<QPushButton>(QStringLiteral("OK"), dialog);
    if (!ok || !ok->isEnabled())
        return false;
    ok->click();
    return keyringAnswered();
}

void PasswordLockTest::withoutAnItemTheBrowserOpensWithoutAQuestion() {
    // The box was on when the application last quit, but the item is gone.
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kAppMustAskForPassword, PrefValue(1)));
    _controller = std::make_unique<MainController>(testOptions());
    confineToOwnDaemons(_controller->service());
    QVERIFY(_controller->init());
    QVERIFY(_controller->awakeFromNib());
    // Before the keyring has answered, the tab is held back, never let through unchecked...
    QVERIFY(!_controller->passwordLock().startCheckDone());
    QVERIFY(!_controller->mainTabView()->selectTab(QStringLiteral("3")));
    QCOMPARE(current(), QStringLiteral("1"));
    // ...and opened once it has: no item, no question.
    QVERIFY(waitUntil([&] { return current() == QStringLiteral("3"); }));
    QVERIFY(!visible(kAsk));
    QVERIFY(!_controller->service().mirror().appMustAskForPassword());
    QVERIFY(!box()->isChecked());
    // quilletctl reads the lock from the domain: it follows.
    QVERIFY(waitUntil([] { return storedFlag() == std::optional<int64_t>(0); }));
}

void PasswordLockTest::creatingAPasswordTakesTwoIdenticalEntries() {
    QVERIFY(start());
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(!box()->isChecked());
    // Cancelled: the box goes back off and nothing is stored.
    box()->click();
    QDialog *panel = waitForDialog(kCreate);
    QVERIFY(panel);
    findByName<QPushButton>(QStringLiteral("Cancel"), panel)->click();
    QVERIFY(!panel->isVisible());
    QVERIFY(!box()->isChecked());
    QCOMPARE(itemState(), sys::KeyringState::NotFound);

    box()->click();
    QVERIFY(waitForDialog(kCreate) == panel);
    QCOMPARE(panel->windowModality(), Qt::WindowModal);
    auto *message = findByName<QLabel>(QStringLiteral("Password creation message"), panel);
    QVERIFY(message);

    findByName<QLineEdit>(QStringLiteral("New password"), panel)->setText(QStringLiteral("first"));
    findByName<QLineEdit>(QStringLiteral("Confirm the password"), panel)->setText(QStringLiteral("frist"));
    findByName<QPushButton>(QStringLiteral("OK"), panel)->click();
    QCOMPARE(message->text(), QStringLiteral("Password are not identical, please try again!"));
    QVERIFY(panel->isVisible());
    QCOMPARE(itemState(), sys::KeyringState::NotFound);

    QVERIFY(typeAndConfirm(kCreate, QStringLiteral("New password"), QString::fromUtf8(kPassword),
                           QStringLiteral("Confirm the password")));
    QVERIFY(waitUntil([&] { return !visible(kCreate); }));
    const sys::KeyringPassword stored = sys::Keyring().readPassword();
    QCOMPARE(stored.state, sys::KeyringState::Found);
    QVERIFY(stored.password.matches(kPassword));
    QVERIFY(_controller->service().mirror().appMustAskForPassword());
    QVERIFY(waitUntil([] { return storedFlag() == std::optional<int64_t>(1); }));

    // With the item there, turning the box on again asks for nothing.
    box()->setChecked(false);
    box()->click();
    QVERIFY(keyringAnswered());
    QVERIFY(!visible(kCreate));

    // Opening the browser now asks for it (after the settings sheet: the box is an edit to save).
    QVERIFY(waitUntil([&] { return saveEnabled(); }));
    QVERIFY(!_controller->mainTabView()->selectTab(QStringLiteral("3")));
    QVERIFY(answerDialog(kNotSaved, QStringLiteral("Save")));
    QVERIFY(waitForDialog(kAsk));
    QCOMPARE(current(), QStringLiteral("2"));
    QCOMPARE(storedFlag(), std::optional<int64_t>(1));
    QVERIFY(!anyOwnDaemonRuns());
    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QString::fromUtf8(kPassword)));
    QVERIFY(waitUntil([&] { return current() == QStringLiteral("3"); }));
}

void PasswordLockTest::theBrowserAsksForThePasswordEveryTime() {
    QCOMPARE(sys::Keyring().addItem(kPassword).state, sys::KeyringState::Found);
    QVERIFY(start());
    QVERIFY(_controller->service().mirror().appMustAskForPassword());
    QVERIFY(waitUntil([] { return storedFlag() == std::optional<int64_t>(1); }));
    MainTabView *tabs = _controller->mainTabView();

    QVERIFY(!tabs->selectTab(QStringLiteral("3")));
    QDialog *panel = waitForDialog(kAsk);
    QVERIFY(panel);
    QCOMPARE(panel->windowModality(), Qt::WindowModal);
    QCOMPARE(current(), QStringLiteral("1"));
    auto *message = findByName<QLabel>(QStringLiteral("Password message"), panel);

    // A wrong one: told, and the tab stays.
    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QStringLiteral("open sesame 1")));
    QCOMPARE(message->text(), QStringLiteral("Wrong Password !"));
    QVERIFY(panel->isVisible());
    QCOMPARE(current(), QStringLiteral("1"));
    findByName<QPushButton>(QStringLiteral("Cancel"), panel)->click();
    QVERIFY(!panel->isVisible());
    QCOMPARE(current(), QStringLiteral("1"));
    QVERIFY(!_controller->passwordLock().passwdCheckBefore());

    // The right one opens the tab.
    QVERIFY(!tabs->selectTab(QStringLiteral("3")));
    QVERIFY(waitForDialog(kAsk));
    QVERIFY(message->text().isEmpty());
    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QString::fromUtf8(kPassword)));
    QVERIFY(waitUntil([&] { return current() == QStringLiteral("3"); }));
    QVERIFY(!panel->isVisible());
    QVERIFY(!_controller->passwordLock().passwdCheckBefore());

    // Left and chosen again: asked again.
    QVERIFY(tabs->selectTab(QStringLiteral("1")));
    QVERIFY(!tabs->selectTab(QStringLiteral("3")));
    QVERIFY(waitForDialog(kAsk));
    QCOMPARE(findByName<QLineEdit>(QStringLiteral("Password"), panel)->text(), QString());
    findByName<QPushButton>(QStringLiteral("Cancel"), panel)->click();
    QCOMPARE(current(), QStringLiteral("1"));
}

void PasswordLockTest::turningTheLockOffTakesThePassword() {
    QCOMPARE(sys::Keyring().addItem(kPassword).state, sys::KeyringState::Found);
    QVERIFY(start());
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("2")));
    QVERIFY(box()->isChecked());
    QVERIFY(!nextComparison());

    // Cancelled: the box comes back on and the item stays.
    box()->click();
    QDialog *panel = waitForDialog(kAsk);
    QVERIFY(panel);
    QVERIFY(_controller->passwordLock().askRemovePassword());
    findByName<QPushButton>(QStringLiteral("Cancel"), panel)->click();
    QVERIFY(!panel->isVisible());
    QVERIFY(box()->isChecked());
    QCOMPARE(itemState(), sys::KeyringState::Found);
    QVERIFY(_controller->service().mirror().appMustAskForPassword());

    // An unrelated edit: the Save button is on before and must stay so.
    findByName<QLineEdit>(kDays, _controller.get())->setText(QStringLiteral("8"));
    QVERIFY(nextComparison());
    QVERIFY(saveEnabled());

    box()->click();
    QVERIFY(waitForDialog(kAsk));
    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QStringLiteral("wrong")));
    QCOMPARE(findByName<QLabel>(QStringLiteral("Password message"), panel)->text(), QStringLiteral("Wrong Password !"));
    QVERIFY(box()->isChecked());
    QVERIFY(panel->isVisible());
    QCOMPARE(itemState(), sys::KeyringState::Found);

    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QString::fromUtf8(kPassword)));
    QVERIFY(waitUntil([&] { return !panel->isVisible(); }));
    QCOMPARE(itemState(), sys::KeyringState::NotFound);
    QVERIFY(!box()->isChecked());
    QVERIFY(!_controller->service().mirror().appMustAskForPassword());
    QVERIFY(waitUntil([] { return storedFlag() == std::optional<int64_t>(0); }));
    QVERIFY(nextComparison());
    QVERIFY(saveEnabled());
    // Only the days were edited: undone, nothing is left to save.
    findByName<QLineEdit>(kDays, _controller.get())->setText(QStringLiteral("7"));
    QVERIFY(!nextComparison());
    QVERIFY(!saveEnabled());

    // The browser opens without a question now.
    QVERIFY(_controller->mainTabView()->selectTab(QStringLiteral("3")));
    QVERIFY(!visible(kAsk));
}

void PasswordLockTest::theBrowserTabWaitsWhileAnotherSheetIsUp() {
    QCOMPARE(sys::Keyring().addItem(kPassword).state, sys::KeyringState::Found);
    QVERIFY(start());
    MainTabView *tabs = _controller->mainTabView();
    QVERIFY(tabs->selectTab(QStringLiteral("2")));
    findByName<QLineEdit>(kDays, _controller.get())->setText(QStringLiteral("9"));
    QVERIFY(waitUntil([&] { return saveEnabled(); }));
    QVERIFY(!tabs->selectTab(QStringLiteral("1")));
    QVERIFY(waitForDialog(kNotSaved));

    QVERIFY(!tabs->selectTab(QStringLiteral("3")));
    QCOMPARE(current(), QStringLiteral("2"));
    QVERIFY(!visible(kAsk));

    QVERIFY(answerDialog(kNotSaved, QStringLiteral("Do not save")));
    QVERIFY(waitUntil([&] { return current() == QStringLiteral("1"); }));
    QVERIFY(!visible(kAsk));
    // The lock was on before and is still: the item stays.
    QVERIFY(keyringAnswered());
    QCOMPARE(itemState(), sys::KeyringState::Found);
    QVERIFY(_controller->service().mirror().appMustAskForPassword());
}

void PasswordLockTest::aPasswordMissingWhenAskedIsAKeychainProblem() {
    QCOMPARE(sys::Keyring().addItem(kPassword).state, sys::KeyringState::Found);
    QVERIFY(start());
    // Removed behind the application's back.
    QCOMPARE(sys::Keyring().deleteItem().state, sys::KeyringState::Found);
    LogCapture log;
    QVERIFY(!_controller->mainTabView()->selectTab(QStringLiteral("3")));
    QVERIFY(typeAndConfirm(kAsk, QStringLiteral("Password"), QString::fromUtf8(kPassword)));
    QVERIFY(log.has("Quillet: Keychain problem"));
    QVERIFY(visible(kAsk));
    QCOMPARE(current(), QStringLiteral("1"));
    QVERIFY(answerDialog(kAsk, QStringLiteral("Cancel")));
    QVERIFY(!visible(kAsk));
    QCOMPARE(current(), QStringLiteral("1"));
}

QUILLET_APP_KEYRING_TEST_MAIN(PasswordLockTest)
#include "passwordLock_test.moc"
