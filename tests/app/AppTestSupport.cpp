#include "AppTestSupport.h"

#include "platform/System.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTranslator>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace quillet::apptest {

std::string makePrivateHome() {
    char pattern[] = "/tmp/quillet-apptest-XXXXXX";
    const char *home = mkdtemp(pattern);
    if (!home)
        std::abort();
    const std::string base = home;
    auto folder = [&](const char *relative) {
        std::string path = base + "/" + relative;
        (void)sys::makeDirectories(path, 0700);
        return path;
    };
    setenv("HOME", base.c_str(), 1);
    setenv("XDG_CONFIG_HOME", folder(".config").c_str(), 1);
    setenv("XDG_DATA_HOME", folder(".local/share").c_str(), 1);
    setenv("XDG_STATE_HOME", folder(".local/state").c_str(), 1);
    setenv("XDG_CACHE_HOME", folder(".cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder("run").c_str(), 1);
    // No removable volumes unless a test mounts its own.
    setenv("QUILLET_VOLUME_ROOTS", folder("volumes").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Never the user's own session bus (and keyring): a test that needs a bus brings its own
    // (AppKeyring.h), the others reach none.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + base + "/no-bus").c_str(), 1);
    return base;
}

void installTranslations() {
    static QTranslator symbolic;
    if (symbolic.load(QStringLiteral("quillet_en"), QString::fromStdString(buildDir() + "/share/quillet/translations")))
        QApplication::installTranslator(&symbolic);
}

std::string buildDir() {
    const char *dir = std::getenv("QUILLET_BUILD_DIR");
    return dir ? dir : "";
}

std::string daemonFolder() { return buildDir() + "/libexec/quillet"; }

app::StartupOptions testOptions() {
    app::StartupOptions options;
    options.systemVersion = 0x060100;
    options.executablePath = buildDir() + "/bin/Quillet";
    options.daemonFolder = daemonFolder();
    options.companionPath.clear();
    options.settingsFlagPath = app::settingsFlagPath();
    options.launchCompanion = false;
    options.listenOnSessionBus = false;
    return options;
}

QDialog *waitForDialog(const QString &message, int timeoutMs) {
    QDialog *found = nullptr;
    waitUntil(
        [&] {
            for (QWidget *top : QApplication::topLevelWidgets()) {
                auto *dialog = qobject_cast<QDialog *>(top);
                if (dialog && dialog->isVisible() && dialog->accessibleName() == message) {
                    found = dialog;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool answerDialog(const QString &message, const QString &button, int timeoutMs) {
    QDialog *dialog = waitForDialog(message, timeoutMs);
    if (!dialog)
        return false;
    auto *target = findByName<QAbstractButton>(button, dialog);
    if (!target)
        return false;
    target->click();
    return true;
}

void answerDialogLater(const QString &message, const QString &button) {
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, message, button] {
        if (answerDialog(message, button, 0))
            timer->deleteLater();
    });
    timer->start();
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= timeoutMs)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(10);
    }
    return true;
}

std::string contentFor(const std::string &name, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + name.size() * 7 + static_cast<unsigned char>(name[i % name.size()])) & 0xff);
    return bytes;
}

bool writeFile(const std::string &path, const std::string &bytes) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

} // namespace quillet::apptest
