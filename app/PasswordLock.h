#pragma once
// The password lock of the cache browser tab: the keyring item, the creation and ask panels,
// and the gate in front of the browser tab.

#include <QObject>

namespace quillet::app {

class MainController;
class ProtectionService;

class PasswordLock : public QObject {
    Q_OBJECT
public:
    PasswordLock(MainController &main, ProtectionService &service);

    /// Asks the keyring whether the item exists and sets the mirror's "App must ask for
    /// password" from the answer.
    void checkPasswordAtStart();
    /// Second check of a switch to the browser tab: false when refused (the ask panel shown).
    bool gateBrowserTab();

private:
    MainController &_main;
    ProtectionService &_service;
};

} // namespace quillet::app
