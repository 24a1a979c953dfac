#include "AppKeyring.h"

#include "KeyringSession.h"

#include "platform/System.h"

#include <cstdio>
#include <cstdlib>

namespace quillet::apptest {

namespace {

std::string &reason() {
    static std::string text = "the keyring session was not started";
    return text;
}

} // namespace

PrivateKeyring::PrivateKeyring() {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/tmp";
    const std::string folder = home + "/keyring";
    // Set first, so that nothing can reach the user's own bus even when no session starts.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder + "/no-bus-here").c_str(), 1);
    if (std::string missing = test::KeyringSession::missingTools(); !missing.empty()) {
        reason() = missing;
        return;
    }
    if (!sys::makeDirectories(folder, 0700)) {
        reason() = "cannot make " + folder;
        return;
    }
    _session = std::make_unique<test::KeyringSession>(folder);
    if (!_session->started()) {
        reason() = _session->failure();
        std::fprintf(stderr, "no private keyring: %s\n", reason().c_str());
        return;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", _session->busAddress().c_str(), 1);
    reason().clear();
}

PrivateKeyring::~PrivateKeyring() = default;

const std::string &PrivateKeyring::unavailable() { return reason(); }

} // namespace quillet::apptest
