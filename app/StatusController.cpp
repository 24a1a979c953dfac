#include "StatusController.h"

#include "MainController.h"
#include "ProtectionService.h"

namespace quillet::app {

StatusController::StatusController(MainController &main, ProtectionService &service) : QObject(&main), _main(main), _service(service) {}

void StatusController::startTimers() {}
void StatusController::startStop(bool fromUserControl) { (void)fromUserControl; }
void StatusController::timerRefreshStats(bool rebuildBrowser) { (void)rebuildBrowser; }
void StatusController::quickStatRefresh() {}
void StatusController::didOutlineViewWasClicked(bool selected) { (void)selected; }

} // namespace quillet::app
