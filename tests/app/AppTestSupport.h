#pragma once
// What the application's tests share: a private home for the whole test program (set before
// the application object exists, so nothing of the user's real settings, trash, cache or
// keyring is touched), controls found by their accessible names as a screen reader finds them,
// sheets answered by their buttons' names, and waits on the event loop.

#include "MainController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QString>
#include <QTest>
#include <QWidget>

#include <functional>
#include <string>

namespace quillet::apptest {

/// Makes a private home (HOME, XDG_* folders, no extra volumes, the offscreen platform) and
/// answers its path. Called by QUILLET_APP_TEST_MAIN before QApplication exists.
std::string makePrivateHome();
/// The English texts of the symbolic keys from the build's share/quillet, as the program loads
/// them, so that tests find dialogs by the words a user reads.
void installTranslations();
/// The build tree (QUILLET_BUILD_DIR) and its daemon folder.
std::string buildDir();
std::string daemonFolder();

/// Start-up options for a controller under test: a supported system, the build's daemons, no
/// companion, the session bus only when asked.
app::StartupOptions testOptions();

/// The visible widget of that accessible name and kind under root (any top-level window when
/// root is null); nullptr when there is none.
template <typename T = QWidget>
T *findByName(const QString &accessibleName, QWidget *root = nullptr) {
    auto matches = [&](QWidget *w) { return w->accessibleName() == accessibleName; };
    if (root) {
        for (T *w : root->findChildren<T *>())
            if (matches(w))
                return w;
        return nullptr;
    }
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (T *self = qobject_cast<T *>(top); self && matches(top))
            return self;
        for (T *w : top->findChildren<T *>())
            if (matches(w))
                return w;
    }
    return nullptr;
}

/// The sheet or modal dialog shown now whose accessible name is message (nullptr: none), after
/// waiting up to timeoutMs for it to appear.
QDialog *waitForDialog(const QString &message, int timeoutMs = 5000);
/// Clicks the button named button in the dialog named message; false when either is missing.
bool answerDialog(const QString &message, const QString &button, int timeoutMs = 5000);
/// Answers the modal dialog named message with button as soon as it shows (for exec()).
void answerDialogLater(const QString &message, const QString &button);
/// Runs the event loop until condition holds or timeoutMs passed; answers condition().
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

/// Bytes of every value, different per name, so that a copy is checked byte for byte.
std::string contentFor(const std::string &name, size_t size);
/// Writes bytes to path, making its folders; false when it could not.
bool writeFile(const std::string &path, const std::string &bytes);
/// The bytes of the file at path ("" when it cannot be read).
std::string readAll(const std::string &path);

} // namespace quillet::apptest

/// main() of an application test: a private home, then QApplication, then the test object.
#define QUILLET_APP_TEST_MAIN(TestObject)                                                                              \
    int main(int argc, char **argv) {                                                                                  \
        quillet::apptest::makePrivateHome();                                                                           \
        QApplication app(argc, argv);                                                                                  \
        quillet::apptest::installTranslations();                                                                      \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
