#pragma once
// A session bus of a test's own with a gnome-keyring daemon on it, so that the keyring tests
// read and write a real Secret Service without ever touching the user's keyring.
//
// What works here (gnome-keyring 42): `dbus-run-session -- sh -c 'printf %s PASSWORD |
// gnome-keyring-daemon --unlock --components=secrets'` with HOME, XDG_DATA_HOME and
// XDG_RUNTIME_DIR in a private folder creates the "login" collection in
// $XDG_DATA_HOME/keyrings, unlocked, and makes it the default collection. The password must not
// be empty: an empty one counts as none, and the daemon then asks a prompter for one, which
// has no display to show on and fails, leaving no collection behind. The daemon ends with the
// bus, which ends when the session's shell does: the shell waits on a pipe that only this
// object holds, so the whole session goes with the test process even when it crashes.

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillet::test {

class KeyringSession {
public:
    /// Why this machine cannot run a session ("dbus-run-session is not installed"), or "".
    static std::string missingTools();

    /// Starts the session with folder (an empty private folder) as its home and data folders,
    /// and waits until the keyring answers on it.
    explicit KeyringSession(const std::string &folder);
    ~KeyringSession();
    KeyringSession(const KeyringSession &) = delete;
    KeyringSession &operator=(const KeyringSession &) = delete;

    bool started() const { return !_busAddress.empty(); }
    /// When not started: what went wrong, with the session's messages.
    const std::string &failure() const { return _failure; }
    /// DBUS_SESSION_BUS_ADDRESS of the session.
    const std::string &busAddress() const { return _busAddress; }
    /// The environment of a program run against this keyring: PATH, HOME, the XDG folders in
    /// folder, and DBUS_SESSION_BUS_ADDRESS (left out when withBus is false: a program then
    /// finds no keyring at all).
    std::vector<std::string> environment(bool withBus = true) const;

private:
    std::string _folder;
    pid_t _pid = -1;
    int _keepAlive = -1;
    std::string _busAddress;
    std::string _failure;
};

} // namespace quillet::test
