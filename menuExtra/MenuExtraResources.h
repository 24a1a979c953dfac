#pragma once
// What the companion ships beside its executable: the two tray images in share/quillet of the
// installation (libexec/quillet/QuilletMenuExtra → ../../share/quillet), the build tree having
// the same layout.

#include <QIcon>
#include <QString>

namespace quillet::menuextra {

/// share/quillet of the installation the companion belongs to (QUILLET_SHARE_DIR overrides it).
QString menuExtraShareFolder();
/// "Quillet MenuOn.png" or "Quillet MenuOff.png", loaded once and kept; an empty icon when the
/// file is missing.
const QIcon &menuImage(bool running);

} // namespace quillet::menuextra
