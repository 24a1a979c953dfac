#include "MenuExtraResources.h"

#include "ZRMenuExtra.h"

#include "platform/Process.h"

#include <QDir>
#include <QFileInfo>

namespace quillet::menuextra {

QString menuExtraShareFolder() {
    const QByteArray overridden = qgetenv("QUILLET_SHARE_DIR");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    auto self = sys::siblingExecutable(kMenuExtraName);
    const QString folder = self ? QFileInfo(QString::fromStdString(*self)).absolutePath() : QDir::currentPath();
    return QDir::cleanPath(folder + QStringLiteral("/../../share/quillet"));
}

const QIcon &menuImage(bool running) {
    // Loaded once: the icon is set again at every change of state, never read from disk again.
    static const auto load = [](const char *name) {
        const QString path = menuExtraShareFolder() + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
        return QFileInfo::exists(path) ? QIcon(path) : QIcon();
    };
    static const QIcon on = load("Quillet MenuOn");
    static const QIcon off = load("Quillet MenuOff");
    return running ? on : off;
}

} // namespace quillet::menuextra
