#pragma once
// The update check as the user sees it: started at launch (when the setting asks for it) and
// by the settings' "Check Now", run on a job, its answer presented in a panel.

#include <QObject>

namespace quillet::app {

class MainController;

class UpdatePresenter : public QObject {
    Q_OBJECT
public:
    explicit UpdatePresenter(MainController &main);

    /// Starts a check; autoHandle: present the answer; confirmAnyway: also say when the
    /// running version is the newest.
    void checkLatestVersion(bool autoHandle, bool confirmAnyway);

private:
    MainController &_main;
};

} // namespace quillet::app
