#pragma once
// The settings tab: the controls filled from the stored settings, edits buffered until Save,
// the Save button enabled only while something differs from the snapshot (checked every
// 0.25 s), the "Settings not saved!" sheet when leaving the tab, and the save itself (through
// the settings store, then a restart of running protection).

#include <QObject>
#include <QString>

namespace quillet::app {

class MainController;
class PasswordLock;
class ProtectionService;

class SettingsController : public QObject {
    Q_OBJECT
public:
    SettingsController(MainController &main, ProtectionService &service, PasswordLock &password);

    /// Fills the controls from the stored settings (the mirror).
    void loadControls();
    /// First check of a tab switch while the settings tab is shown: false when the switch is
    /// postponed by the "Settings not saved!" sheet.
    bool shouldLeaveSettings(const QString &target);
    void tabWillSelect(const QString &identifier);
    void tabDidSelect(const QString &identifier);
    /// The Save action.
    void saveSettings();

private:
    MainController &_main;
    ProtectionService &_service;
    PasswordLock &_password;
};

} // namespace quillet::app
