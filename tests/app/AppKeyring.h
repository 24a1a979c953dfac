#pragma once
// A keyring of the test program's own for the application's tests: a gnome-keyring daemon on a
// session bus of its own (KeyringSession.h), started before the application object exists and
// before anything in the process talks to a bus (GLib keeps the first connection it makes). The
// user's real keyring is never reached: without the tools the bus address points at a socket
// that does not exist, so every keyring call fails (and the password lock counts as on).

#include "AppTestSupport.h"

#include <memory>
#include <string>

namespace quillet::test {
class KeyringSession;
}

namespace quillet::apptest {

class PrivateKeyring {
public:
    /// Starts the session in $HOME/keyring (the private home must exist) and points
    /// DBUS_SESSION_BUS_ADDRESS at it.
    PrivateKeyring();
    ~PrivateKeyring();
    PrivateKeyring(const PrivateKeyring &) = delete;
    PrivateKeyring &operator=(const PrivateKeyring &) = delete;

    /// Why the test program runs without a keyring, "" when it has one.
    static const std::string &unavailable();

private:
    std::unique_ptr<test::KeyringSession> _session;
};

} // namespace quillet::apptest

/// In a test of the browser tab: skips when the test program has no keyring, since the tab opens
/// only once a keyring has said that no password is set.
#define SKIP_WITHOUT_KEYRING()                                                                                         \
    if (!quillet::apptest::PrivateKeyring::unavailable().empty())                                                      \
    QSKIP(qPrintable(QStringLiteral("no keyring for the browser tab's lock: %1")                                       \
                         .arg(QString::fromStdString(quillet::apptest::PrivateKeyring::unavailable()))))

/// main() of an application test that needs a keyring: a private home, a private keyring, then
/// QApplication and the test object.
#define QUILLET_APP_KEYRING_TEST_MAIN(TestObject)                                                                      \
    int main(int argc, char **argv) {                                                                                  \
        quillet::apptest::makePrivateHome();                                                                           \
        quillet::apptest::PrivateKeyring keyring;                                                                      \
        QApplication app(argc, argv);                                                                                  \
        quillet::apptest::installTranslations();                                                                      \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
