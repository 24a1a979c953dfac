#pragma once
// The password lock of the cache browser tab: the keyring item, the creation and ask panels,
// and the gate in front of the browser tab.
//
// Whether the lock is on is the mirror's "App must ask for password", set at start-up from the
// keyring (on exactly when the item exists, or when the keyring cannot tell) and written into
// the domain whenever it changes, so that quilletctl, which cannot ask the keyring, follows it.
// Until the keyring has answered at start-up the lock counts as on: a switch to the browser
// is held back and made (or asked for) once the answer has come.
//
// Every keyring call runs on a job's thread, one after another in the order asked (a removal
// asked before a creation is done before it); the answers come back on the main thread. A
// panel's OK stays disabled while its call runs.

#include <QObject>
#include <QString>

#include <deque>
#include <functional>

namespace quillet::app {

class MainController;
class PasswordAskPanel;
class PasswordCreationPanel;
class ProtectionService;

class PasswordLock : public QObject {
    Q_OBJECT
public:
    PasswordLock(MainController &main, ProtectionService &service);
    ~PasswordLock() override;

    /// Asks the keyring whether the item exists and sets the mirror's "App must ask for
    /// password" from the answer.
    void checkPasswordAtStart();
    /// The keyring has answered the start-up question.
    bool startCheckDone() const { return _startCheckDone; }
    /// Second check of a switch to the browser tab: false when refused (the ask panel shown, a
    /// sheet already attached, or the start-up answer still awaited).
    bool gateBrowserTab();

    /// The password check box was toggled by the user: on asks for a new password (unless one
    /// exists), off asks for the current one before removing it.
    void passwordSettingsToggle(bool on);
    /// Removes the item when there is one (a save or a revert with the box off).
    void removePasswordIfExists();
    /// Sets the mirror's "App must ask for password" and, when that changed it, the domain's.
    void setMustAskForPassword(bool on);

    /// The sheets, created at their first use (nullptr before).
    PasswordCreationPanel *passwordCreationPanel() const { return _creationPanel; }
    PasswordAskPanel *passwordAskPanel() const { return _askPanel; }
    bool passwdCheckBefore() const { return _passwdCheckBefore; }
    bool askRemovePassword() const { return _askRemovePassword; }
    /// A keyring call is queued or running.
    bool keyringBusy() const { return _keyringBusy; }

signals:
    /// The start-up answer: whether the lock is on.
    void passwordCheckedAtStart(bool on);
    /// No keyring call is queued or running any more.
    void keyringIdle();

private:
    struct KeyringCall {
        std::function<void()> work;
        std::function<void()> done;
    };
    /// Queues work (on a job's thread); done runs on the main thread once it has run.
    void runKeyring(std::function<void()> work, std::function<void()> done);
    void startNextKeyringCall();

    void checkOrCreatePassword();
    void showCreationPanel();
    void showAskPanel(bool forRemoval);
    void passwordCreationValidation(int tag);
    void passwordAskValidation(int tag);
    void setBoxChecked(bool on);

    MainController &_main;
    ProtectionService &_service;
    PasswordCreationPanel *_creationPanel = nullptr;
    PasswordAskPanel *_askPanel = nullptr;
    bool _passwdCheckBefore = false;
    bool _askRemovePassword = false;
    bool _startCheckDone = false;
    /// The browser tab was chosen before the start-up answer came.
    bool _browserWanted = false;
    std::deque<KeyringCall> _keyringQueue;
    bool _keyringBusy = false;
};

} // namespace quillet::app
