#include "PasswordLock.h"

#include "Alerts.h"
#include "JobWatcher.h"
#include "MainController.h"
#include "MainTabView.h"
#include "PasswordPanels.h"
#include "ProtectionService.h"
#include "SettingsController.h"
#include "SettingsTab.h"

#include "jobs/CallJob.h"
#include "platform/Keyring.h"
#include "platform/Log.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

namespace quillet::app {

namespace {

const QString kBrowserTab = QStringLiteral("3");

// A call that never ran (the job was cancelled or could not start) is a keyring that did not
// answer.
constexpr char kNotRun[] = "the keyring call did not run";

// The typed text as the bytes the keyring holds, the field emptied.
sys::SecretText takeTyped(QLineEdit *field) {
    QByteArray bytes = field->text().toUtf8();
    sys::SecretText typed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    bytes.fill('\0');
    return typed;
}

} // namespace

PasswordLock::PasswordLock(MainController &main, ProtectionService &service)
    : QObject(&main), _main(main), _service(service) {
    // The box is toggled by the user only through this; the program sets it without a signal.
    connect(_main.settingsTab(), &SettingsTab::askPasswordToggled, this, &PasswordLock::passwordSettingsToggle);
}

PasswordLock::~PasswordLock() = default;

void PasswordLock::runKeyring(std::function<void()> work, std::function<void()> done) {
    _keyringQueue.push_back({std::move(work), std::move(done)});
    if (!_keyringBusy)
        startNextKeyringCall();
}

void PasswordLock::startNextKeyringCall() {
    if (_keyringQueue.empty()) {
        _keyringBusy = false;
        emit keyringIdle();
        return;
    }
    _keyringBusy = true;
    KeyringCall call = std::move(_keyringQueue.front());
    _keyringQueue.pop_front();
    auto *watcher = new JobWatcher(CallJob::create(std::move(call.work)), this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, done = std::move(call.done)](JobEnd) {
        watcher->deleteLater();
        if (done)
            done();
        startNextKeyringCall();
    });
}

void PasswordLock::setMustAskForPassword(bool on) {
    SettingsMirror &mirror = _service.mirror();
    if (mirror.value(prefs::kAppMustAskForPassword) && mirror.appMustAskForPassword() == on)
        return;
    mirror.set(prefs::kAppMustAskForPassword, PrefValue(on ? 1 : 0));
    // quilletctl cannot ask the keyring: it honours the lock from the domain.
    auto failure = std::make_shared<std::string>();
    _service.run(
        [on, failure](ProtectionControl &control) {
            auto written = control.domain().setValue(prefs::kAppMustAskForPassword, PrefValue(on ? 1 : 0));
            if (!written)
                *failure = written.status().message();
        },
        [failure] {
            if (!failure->empty())
                sys::logLine("Quillet: the password lock's state was not written into the settings: " + *failure);
        });
}

void PasswordLock::setBoxChecked(bool on) { _main.settingsTab()->askPasswordCB->setChecked(on); }

void PasswordLock::checkPasswordAtStart() {
    _startCheckDone = false;
    auto answer = std::make_shared<sys::KeyringAnswer>();
    answer->error = kNotRun;
    // What the settings file says, written whenever the lock was switched on or off.
    const bool storedLock = _service.mirror().appMustAskForPassword();
    runKeyring([answer] { *answer = sys::Keyring().findItem(); },
               [this, answer, storedLock] {
                   // A keyring that cannot answer (none on this desktop, or a broken one) leaves
                   // the lock as the settings last recorded it: a lock that was set stays on, so
                   // the browser never opens only because the keyring was not there to say so;
                   // a user who never set a password is not locked out of the cache by a
                   // desktop without a keyring.
                   const bool on = answer->state == sys::KeyringState::Error
                                       ? storedLock
                                       : answer->state != sys::KeyringState::NotFound;
                   if (answer->state == sys::KeyringState::Error)
                       sys::logLine("Quillet: " + answer->error +
                                    (on ? " (the cache browser stays locked)"
                                        : " (no password was set: the cache browser is not locked)"));
                   _startCheckDone = true;
                   setMustAskForPassword(on);
                   // Nothing the user toggled meanwhile is overridden.
                   if (!attachedSheet(&_main)) {
                       setBoxChecked(on);
                       _main.settingsController().setSnapshotAskPassword(on);
                   }
                   emit passwordCheckedAtStart(on);
                   if (_browserWanted) {
                       _browserWanted = false;
                       _main.mainTabView()->selectTab(kBrowserTab);
                   }
               });
}

bool PasswordLock::gateBrowserTab() {
    if (_passwdCheckBefore) {
        _passwdCheckBefore = false;
        return true;
    }
    if (!_startCheckDone) {
        _browserWanted = true;
        return false;
    }
    if (!_service.mirror().appMustAskForPassword())
        return true;
    if (attachedSheet(&_main))
        return false;
    showAskPanel(false);
    return false;
}

void PasswordLock::passwordSettingsToggle(bool on) {
    if (on) {
        checkOrCreatePassword();
        return;
    }
    showAskPanel(true);
}

void PasswordLock::checkOrCreatePassword() {
    auto answer = std::make_shared<sys::KeyringAnswer>();
    answer->error = kNotRun;
    runKeyring([answer] { *answer = sys::Keyring().findItem(); },
               [this, answer] {
                   if (answer->state == sys::KeyringState::Error)
                       sys::logLine("Quillet: " + answer->error);
                   // An item that exists (or a keyring that cannot tell) needs no new password;
                   // nor does a box turned off again, or a sheet the user is already answering.
                   if (answer->state != sys::KeyringState::NotFound)
                       return;
                   if (!_main.settingsTab()->askPasswordCB->isChecked() || attachedSheet(&_main))
                       return;
                   showCreationPanel();
               });
}

void PasswordLock::showCreationPanel() {
    if (!_creationPanel) {
        _creationPanel = new PasswordCreationPanel(&_main);
        connect(_creationPanel, &PasswordPanel::validation, this, &PasswordLock::passwordCreationValidation);
    }
    _passwdCheckBefore = false;
    _creationPanel->secureTFSource->clear();
    _creationPanel->secureTFConfirm->clear();
    _creationPanel->badPasswordCreationTextField->clear();
    _creationPanel->setWaiting(false);
    _creationPanel->open();
    _creationPanel->secureTFSource->setFocus();
}

void PasswordLock::showAskPanel(bool forRemoval) {
    if (!_askPanel) {
        _askPanel = new PasswordAskPanel(&_main);
        connect(_askPanel, &PasswordPanel::validation, this, &PasswordLock::passwordAskValidation);
    }
    _askRemovePassword = forRemoval;
    _askPanel->secureTFAsk->clear();
    _askPanel->badPasswordTextField->clear();
    _askPanel->setWaiting(false);
    _askPanel->open();
    _askPanel->secureTFAsk->setFocus();
}

void PasswordLock::passwordCreationValidation(int tag) {
    PasswordCreationPanel *panel = _creationPanel;
    if (tag != kPasswordOkTag) {
        panel->closeSheet();
        setBoxChecked(false);
        return;
    }
    if (panel->secureTFSource->text() != panel->secureTFConfirm->text()) {
        QApplication::beep();
        panel->badPasswordCreationTextField->setText(tr("Password are not identical, please try again!"));
        return;
    }
    auto typed = std::make_shared<sys::SecretText>(takeTyped(panel->secureTFSource));
    panel->secureTFSource->clear();
    panel->secureTFConfirm->clear();
    panel->setWaiting(true);
    auto answer = std::make_shared<sys::KeyringAnswer>();
    answer->error = kNotRun;
    runKeyring([answer, typed] { *answer = sys::Keyring().addItem(typed->view()); },
               [this, panel, answer] {
                   panel->setWaiting(false);
                   panel->closeSheet();
                   if (answer->state == sys::KeyringState::Found) {
                       setMustAskForPassword(true);
                       return;
                   }
                   // The lock stays off; the box stays on until the settings are saved or
                   // reverted.
                   sys::logLine("Quillet: Keychain problem: " + answer->error);
                   showSheet(&_main, AlertStyle::Warning, tr("The password was not stored"),
                             tr("The keyring did not store the password, so the cache browser is not locked:\n%1")
                                 .arg(QString::fromStdString(answer->error)),
                             {tr("OK")}, {});
               });
}

void PasswordLock::passwordAskValidation(int tag) {
    PasswordAskPanel *panel = _askPanel;
    panel->badPasswordTextField->clear();
    const bool removal = _askRemovePassword;
    if (tag != kPasswordOkTag) {
        panel->closeSheet();
        _askRemovePassword = false;
        if (removal)
            setBoxChecked(true);
        else
            _passwdCheckBefore = false;
        return;
    }
    auto typed = std::make_shared<sys::SecretText>(takeTyped(panel->secureTFAsk));
    panel->setWaiting(true);
    auto stored = std::make_shared<sys::KeyringPassword>();
    stored->error = kNotRun;
    auto removed = std::make_shared<sys::KeyringAnswer>();
    removed->error = kNotRun;
    auto matched = std::make_shared<bool>(false);
    runKeyring(
        [stored, typed, matched, removed, removal] {
            *stored = sys::Keyring().readPassword();
            *matched = stored->state == sys::KeyringState::Found && stored->password.matches(typed->view());
            // The removal follows the check in the same call, so nothing comes between them.
            if (*matched && removal)
                *removed = sys::Keyring().deleteItem();
        },
        [this, panel, stored, matched, removed, removal] {
            panel->setWaiting(false);
            if (stored->state != sys::KeyringState::Found) {
                sys::logLine("Quillet: Keychain problem");
                if (stored->state == sys::KeyringState::Error)
                    sys::logLine("Quillet: " + stored->error);
                QApplication::beep();
                return;
            }
            if (!*matched) {
                QApplication::beep();
                panel->badPasswordTextField->setText(tr("Wrong Password !"));
                if (removal)
                    setBoxChecked(true);
                else
                    _passwdCheckBefore = false;
                return;
            }
            panel->secureTFAsk->clear();
            if (!removal) {
                _passwdCheckBefore = true;
                panel->closeSheet();
                _main.mainTabView()->selectTab(kBrowserTab);
                return;
            }
            if (removed->state == sys::KeyringState::Error) {
                // The password is right but still there: the lock stays as it is.
                sys::logLine("Quillet: Keychain problem: " + removed->error);
                QApplication::beep();
                panel->badPasswordTextField->setText(tr("The keyring did not remove the password: %1")
                                                         .arg(QString::fromStdString(removed->error)));
                setBoxChecked(true);
                return;
            }
            _passwdCheckBefore = false;
            panel->closeSheet();
            setBoxChecked(false);
            // Removed by its own sheet: not an edit for the Save button.
            _main.settingsController().setSnapshotAskPassword(false);
            setMustAskForPassword(false);
            _askRemovePassword = false;
        });
}

void PasswordLock::removePasswordIfExists() {
    _passwdCheckBefore = false;
    auto answer = std::make_shared<sys::KeyringAnswer>();
    answer->error = kNotRun;
    runKeyring([answer] { *answer = sys::Keyring().deleteItem(); },
               [answer] {
                   if (answer->state == sys::KeyringState::Error)
                       sys::logLine("Quillet: Keychain problem: the password was not removed: " + answer->error);
               });
}

} // namespace quillet::app
