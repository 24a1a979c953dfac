// Quillet: the main application. With a display it opens its window; without one it says so
// and leaves protection to quilletctl and the companion.

#include "MainController.h"
#include "ZRAppDelegate.h"

#include "Resources.h"

#include "support/BuildInfo.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// For the launch benchmark: with QUILLET_REPORT_FIRST_PAINT set, the program writes
// "first paint" to standard output once the window has painted for the first time.
class FirstPaintReporter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && !_reported) {
            _reported = true;
            // After this paint has reached the screen, not before it.
            QMetaObject::invokeMethod(
                this, [] { std::printf("first paint\n"), std::fflush(stdout); }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool _reported = false;
};

bool wantsHelp(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv) {
    if (wantsHelp(argc, argv)) {
        std::printf("Usage: Quillet [--help]\n\n"
                    "Opens Quillet's window: start and stop the protection of your Trash, change its settings,\n"
                    "browse, recover and delete what the cache keeps. It needs a graphical display; from a\n"
                    "terminal use quilletctl.\n");
        return 0;
    }
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !(platform && *platform)) {
        std::fprintf(stderr, "Quillet: no graphical display (DISPLAY and WAYLAND_DISPLAY are not set); "
                             "use quilletctl to start protection from a terminal\n");
        return 1;
    }
    // Qt's own event dispatcher rather than GLib's: the window wakes once a second for its change
    // test, and each GLib wake-up costs about twice as much CPU. Nothing here needs GLib's loop:
    // libsecret's calls run on jobs with a context of their own. An empty QT_NO_GLIB keeps GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillet"));
    QApplication::setApplicationVersion(QString::fromStdString(quillet::applicationVersion()));
    QApplication::setOrganizationDomain(QStringLiteral("plx.com"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.plx.Quillet"));
    // The application's own image: a theme lookup would read the icon themes' folders at start-up.
    QApplication::setWindowIcon(quillet::app::imageResource(QStringLiteral("App_Icon")));
    QApplication::setQuitOnLastWindowClosed(true);

    // The English texts of the symbolic keys ("120_Copyright"), then the user's language.
    QTranslator symbolic;
    if (symbolic.load(QStringLiteral("quillet_en"), quillet::app::shareFolder() + QStringLiteral("/translations")))
        QApplication::installTranslator(&symbolic);
    QTranslator local;
    if (local.load(QLocale(), QStringLiteral("quillet"), QStringLiteral("_"),
                   quillet::app::shareFolder() + QStringLiteral("/translations")))
        QApplication::installTranslator(&local);

    quillet::app::MainController controller;
    FirstPaintReporter reporter;
    if (qEnvironmentVariableIsSet("QUILLET_REPORT_FIRST_PAINT"))
        controller.installEventFilter(&reporter);
    if (!controller.init())
        return 1;
    if (!controller.awakeFromNib())
        return 1;
    if (controller.appDelegate())
        controller.appDelegate()->applicationDidFinishLaunching();
    return QApplication::exec();
}
