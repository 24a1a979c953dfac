#pragma once
// The application's delegate: the update check once the application has launched, and the
// stop of the tray companion at uninstall.

#include <QObject>

namespace quillet::app {

class MainController;

class ZRAppDelegate : public QObject {
    Q_OBJECT
public:
    explicit ZRAppDelegate(QObject *parent = nullptr);

    /// A null controller is ignored.
    void setMainController(MainController *controller);
    MainController *mainController() const { return _controller; }
    /// Starts the update check when "App_Prefs_checkUpdates" is 1.
    void applicationDidFinishLaunching();
    /// SIGINT to every running QuilletMenuExtra of this user; never to this process.
    void killExtraMenu();

private:
    MainController *_controller = nullptr;
};

} // namespace quillet::app
