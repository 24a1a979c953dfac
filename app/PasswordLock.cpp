#include "PasswordLock.h"

#include "MainController.h"
#include "ProtectionService.h"

namespace quillet::app {

PasswordLock::PasswordLock(MainController &main, ProtectionService &service) : QObject(&main), _main(main), _service(service) {}

void PasswordLock::checkPasswordAtStart() {}
bool PasswordLock::gateBrowserTab() { return true; }

} // namespace quillet::app
