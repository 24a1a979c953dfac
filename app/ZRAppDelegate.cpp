#include "ZRAppDelegate.h"

#include "MainController.h"
#include "ProtectionService.h"
#include "UpdatePresenter.h"

#include "platform/Process.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"

#include <signal.h>

namespace quillet::app {

ZRAppDelegate::ZRAppDelegate(QObject *parent) : QObject(parent) {}

void ZRAppDelegate::setMainController(MainController *controller) {
    if (controller)
        _controller = controller;
}

void ZRAppDelegate::applicationDidFinishLaunching() {
    if (_controller && _controller->service().mirror().integer(prefs::kAppPrefsCheckUpdates) == 1)
        _controller->updatePresenter().checkLatestVersion(true, false);
}

void ZRAppDelegate::killExtraMenu() {
    const pid_t self = sys::processId();
    for (const sys::ProcessEntry &entry : sys::readProcessTable()) {
        if (entry.pid != self && sys::matchesProgram(entry.command, "QuilletMenuExtra"))
            (void)sys::sendSignal(entry.pid, SIGINT);
    }
}

} // namespace quillet::app
