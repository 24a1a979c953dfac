#include "UpdatePresenter.h"

#include "MainController.h"

namespace quillet::app {

UpdatePresenter::UpdatePresenter(MainController &main) : QObject(&main), _main(main) {}

void UpdatePresenter::checkLatestVersion(bool autoHandle, bool confirmAnyway) {
    (void)autoHandle;
    (void)confirmAnyway;
}

} // namespace quillet::app
