// The password lock of the cache browser, on the command line: what the browser tab refuses
// without the password, list, search, recover, restore and empty refuse too.

#include "CommandSupport.h"

#include "platform/Keyring.h"
#include "platform/Terminal.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsMirror.h"

#include <optional>
#include <ostream>

namespace quillet::cli {

namespace {

/// More than anyone types; a longer line is no password of this system's.
constexpr size_t kMaxPasswordBytes = 8192;

int refuse(std::ostream &err, const std::string &why) {
    err << "quilletctl: " << why << "\n";
    return kExitFailure;
}

std::string noItem(const sys::Keyring &keyring) {
    return "cannot check the password: the keyring holds no password item (service " +
           std::string(sys::kKeyringService) + ", account " + keyring.account() + ")";
}

} // namespace

int passwordLockCheck(const Options &options, std::ostream &err) {
    // Without the lock nothing is asked and the keyring is never reached: the commands work
    // without a session bus.
    const PreferencesDomain domain(kQuilletDomain);
    if (!SettingsMirror::loadWithStoredPasswordFlag(domain).appMustAskForPassword())
        return kExitSuccess;

    const int fd = options.console.passwordFd;
    const bool fromStdin = options.passwordStdin && fd >= 0;
    const bool onTerminal = !options.passwordStdin && options.console.interactive && fd >= 0;
    if (!fromStdin && !onTerminal)
        return refuse(err, "the cache is locked by a password; give it on a terminal or with --password-stdin");

    // The keyring is asked before the user, so that nobody types a password that cannot be
    // checked. Whatever keeps it from answering refuses: the lock is never let through
    // unchecked.
    const sys::Keyring keyring;
    const sys::KeyringAnswer item = keyring.findItem();
    if (item.state == sys::KeyringState::Error)
        return refuse(err, "cannot check the password: " + item.error);
    if (item.state == sys::KeyringState::NotFound)
        return refuse(err, noItem(keyring));

    std::optional<sys::Result<sys::SecretText>> typed;
    if (fromStdin) {
        typed.emplace(sys::readSecretLine(fd, kMaxPasswordBytes));
    } else {
        // Echo goes off before the prompt shows, so that nothing typed after it is echoed or
        // thrown away.
        sys::TerminalEchoOff echoOff(fd);
        if (!echoOff.status().ok())
            return refuse(err, "cannot ask for the password: " + echoOff.status().message());
        err << "Password: " << std::flush;
        typed.emplace(sys::readSecretLine(fd, kMaxPasswordBytes));
        // The line end the user typed was not echoed.
        err << "\n" << std::flush;
    }
    if (!*typed)
        return refuse(err, "cannot read the password: " + typed->status().message());

    const sys::KeyringPassword stored = keyring.readPassword();
    if (stored.state == sys::KeyringState::Error)
        return refuse(err, "cannot check the password: " + stored.error);
    if (stored.state == sys::KeyringState::NotFound)
        return refuse(err, noItem(keyring));
    if (!stored.password.matches((**typed).view()))
        return refuse(err, "wrong password");
    return kExitSuccess;
}

} // namespace quillet::cli
