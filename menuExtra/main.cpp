// QuilletMenuExtra: the tray companion of Quillet. Started by Quillet and at every login; it
// quits at once when another companion of this user runs.

#include "MenuExtraResources.h"
#include "ZRMenuExtra.h"

#include "support/BuildInfo.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: QuilletMenuExtra [--help]\n\n"
                        "Quillet's tray icon: shows whether the protection of your Trash runs, starts and stops it,\n"
                        "opens Quillet or its settings, and starts protection again after a restart when it was on.\n"
                        "Quillet starts it, and it adds itself to the programs started at login. Only one runs per\n"
                        "user. \"Show the tray icon\" in Quillet's settings hides or shows the icon.\n");
            return 0;
        }
    }
    // Qt's own event dispatcher: the companion wakes once a second, and GLib's costs more per wake.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QuilletMenuExtra"));
    QApplication::setApplicationVersion(QString::fromStdString(quillet::applicationVersion()));
    QApplication::setOrganizationDomain(QStringLiteral("plx.com"));
    // Its only windows are alerts: closing one must not end the companion.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString translations = quillet::menuextra::menuExtraShareFolder() + QStringLiteral("/translations");
    QTranslator symbolic;
    if (symbolic.load(QStringLiteral("quillet_en"), translations))
        QApplication::installTranslator(&symbolic);
    QTranslator local;
    if (local.load(QLocale(), QStringLiteral("quillet"), QStringLiteral("_"), translations))
        QApplication::installTranslator(&local);

    quillet::menuextra::ZRMenuExtra controller(quillet::menuextra::MenuExtraOptions::fromSystem());
    if (!controller.awakeFromNib())
        return 0;
    QObject::connect(&controller, &quillet::menuextra::ZRMenuExtra::quitRequested, &application, &QApplication::quit);
    return QApplication::exec();
}
