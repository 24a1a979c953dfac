#include "SettingsController.h"

#include "MainController.h"
#include "PasswordLock.h"
#include "ProtectionService.h"

namespace quillet::app {

SettingsController::SettingsController(MainController &main, ProtectionService &service, PasswordLock &password)
    : QObject(&main), _main(main), _service(service), _password(password) {}

void SettingsController::loadControls() {}
bool SettingsController::shouldLeaveSettings(const QString &target) {
    (void)target;
    return true;
}
void SettingsController::tabWillSelect(const QString &identifier) { (void)identifier; }
void SettingsController::tabDidSelect(const QString &identifier) { (void)identifier; }
void SettingsController::saveSettings() {}

} // namespace quillet::app
