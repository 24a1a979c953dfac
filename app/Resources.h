#pragma once
// Where the application finds what it ships beside its executable: share/quillet/ of the
// installation (or of the build tree, which has the same layout), and the companion in
// libexec/quillet/.

#include <QIcon>
#include <QString>

namespace quillet::app {

/// share/quillet of the installation the running program belongs to.
QString shareFolder();
/// The image resource of that name and type ("Start", "png"), empty when missing.
QIcon imageResource(const QString &name, const QString &type = QStringLiteral("png"));

} // namespace quillet::app
