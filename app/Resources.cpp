#include "Resources.h"

#include "platform/Process.h"
#include "platform/System.h"

#include <QDir>
#include <QFileInfo>

namespace quillet::app {

QString shareFolder() {
    // bin/Quillet → ../share/quillet; QUILLET_SHARE_DIR lets a test point elsewhere.
    const QByteArray overridden = qgetenv("QUILLET_SHARE_DIR");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    auto self = sys::siblingExecutable("Quillet");
    const QString bin = self ? QFileInfo(QString::fromStdString(*self)).absolutePath() : QDir::currentPath();
    return QDir::cleanPath(bin + QStringLiteral("/../share/quillet"));
}

QIcon imageResource(const QString &name, const QString &type) {
    const QString path = shareFolder() + QLatin1Char('/') + name + QLatin1Char('.') + type;
    if (!QFileInfo::exists(path))
        return {};
    return QIcon(path);
}

} // namespace quillet::app
