#pragma once
// The password of the cache browser's lock, kept by the Secret Service on the session bus
// (gnome-keyring, KeePassXC, KWallet's Secret Service) through libsecret. Only the programs that
// ask for the password link this (library quilletkeyring): the daemons never load libsecret or
// GLib.
//
// The item: a generic password in the default collection, with two attributes,
//   service = "Quillet1"
//   account = the user's login name
// and the label "Quillet1". Its secret is the password's UTF-8 bytes followed by one zero byte
// (length = byte length + 1); the zero byte is what ends the password when it is read back. An
// item another program stored with these two attributes matches too, whatever schema name it
// carries (secret-tool store service Quillet1 account NAME, for one). The account is the whole
// login name: attribute values on the Secret Service are UTF-8 strings, so a name is never cut
// inside a character, and finding, reading, adding and deleting all use the same one.
//
// Every call is synchronous and may block as long as the bus and the keyring daemon take, an
// unlock prompt included: a program with a window calls from a worker thread. Calls may come
// from several threads at once.

#include "platform/SecretText.h"

#include <string>
#include <string_view>

namespace quillet::sys {

/// The service attribute of the item.
inline constexpr char kKeyringService[] = "Quillet1";

/// The login name of the real user id, from the password database; "" when it has no entry.
std::string loginName();

/// What the keyring answered about the item.
enum class KeyringState {
    Found,    ///< the item is there (after addItem: stored; after deleteItem: removed)
    NotFound, ///< no item has the two attributes
    Error     ///< the keyring could not answer; error says why
};

struct [[nodiscard]] KeyringAnswer {
    KeyringState state = KeyringState::Error;
    /// For Error: the operation, the item and the reason ("reading the keyring item (service
    /// Quillet1, account ann): Cannot autolaunch D-Bus without X11 $DISPLAY"); otherwise "".
    std::string error;
};

struct [[nodiscard]] KeyringPassword {
    KeyringState state = KeyringState::Error;
    /// For Found: the secret's bytes before its first zero byte (all of them when it holds
    /// none, as an item stored by another program may).
    SecretText password;
    std::string error;
};

/// The item of one account.
class Keyring {
public:
    /// The item of account; the user's own (loginName()) unless told otherwise.
    explicit Keyring(std::string account = loginName());

    const std::string &account() const { return _account; }

    /// Looks the item up without reading its secret (no unlock prompt): Found, NotFound or
    /// Error. The password lock counts an Error as an item found.
    KeyringAnswer findItem() const;
    /// Reads the item's password (the collection holding it is unlocked first, which may
    /// prompt).
    KeyringPassword readPassword() const;
    /// Stores password (UTF-8, its bytes and one zero byte) as the item, in the default
    /// collection, replacing an item of these attributes there: Found once stored, else Error.
    KeyringAnswer addItem(std::string_view password) const;
    /// Removes every item with the two attributes: Found when one was removed, NotFound when
    /// there was none, else Error.
    KeyringAnswer deleteItem() const;

private:
    std::string _account;
};

} // namespace quillet::sys
