#include "platform/Keyring.h"

#include <libsecret/secret.h>

#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace quillet::sys {

std::string loginName() {
    // getpwuid is not thread-safe, and the keyring is used from worker threads.
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    struct passwd entry {};
    struct passwd *found = nullptr;
    for (;;) {
        int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->pw_name)
            return {};
        return found->pw_name;
    }
}

// ---- Keyring ------------------------------------------------------------------------------

namespace {

// The schema name is stored with the item but never matched: an item that another program
// (secret-tool, a password manager) stored with the same two attributes is the same item.
const SecretSchema kSchema = {
    "com.plx.Quillet.Password",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr const char *kLabel = "Quillet1";

/// The two attributes, pointing into account (which must outlive the table).
struct Attributes {
    explicit Attributes(const std::string &account) : table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table, const_cast<char *>("service"), const_cast<char *>(kKeyringService));
        g_hash_table_insert(table, const_cast<char *>("account"), const_cast<char *>(account.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes &) = delete;
    Attributes &operator=(const Attributes &) = delete;

    GHashTable *table;
};

/// Frees the GError a call left, whatever path the caller takes.
struct ErrorSlot {
    ~ErrorSlot() { g_clear_error(&error); }
    GError *error = nullptr;
};

std::string itemName(const std::string &account) {
    return std::string("(service ") + kKeyringService + ", account " + account + ")";
}

std::string failure(const char *operation, const std::string &account, GError *error) {
    std::string reason = "no reason given";
    if (error) {
        // "GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name … was not provided"
        // says its reason after the error's name.
        g_dbus_error_strip_remote_error(error);
        if (error->message && *error->message)
            reason = error->message;
    }
    return std::string(operation) + " " + itemName(account) + ": " + reason;
}

// The Secret Service takes attribute values as UTF-8 strings: a login name that is not (a name
// from an old password database in Latin-1) cannot name an item, and GLib would only warn.
std::string accountProblem(const char *operation, const std::string &account) {
    if (account.empty())
        return std::string(operation) + " " + itemName(account) + ": the account has no login name";
    if (!g_utf8_validate(account.data(), static_cast<gssize>(account.size()), nullptr))
        return std::string(operation) + " " + itemName(account) + ": the login name is not UTF-8";
    return {};
}

} // namespace

Keyring::Keyring(std::string account) : _account(std::move(account)) {}

KeyringAnswer Keyring::findItem() const {
    constexpr const char *kOperation = "looking up the keyring item";
    if (std::string problem = accountProblem(kOperation, _account); !problem.empty())
        return {KeyringState::Error, problem};
    Attributes attributes(_account);
    ErrorSlot slot;
    // Searching does not unlock the collection, so no prompt comes up: only whether the item
    // is there is asked.
    GList *items = secret_password_searchv_sync(&kSchema, attributes.table, SECRET_SEARCH_NONE, nullptr, &slot.error);
    if (slot.error) {
        g_list_free_full(items, g_object_unref);
        return {KeyringState::Error, failure(kOperation, _account, slot.error)};
    }
    const bool found = items != nullptr;
    g_list_free_full(items, g_object_unref);
    return {found ? KeyringState::Found : KeyringState::NotFound, {}};
}

KeyringPassword Keyring::readPassword() const {
    constexpr const char *kOperation = "reading the keyring item";
    KeyringPassword answer;
    if (std::string problem = accountProblem(kOperation, _account); !problem.empty()) {
        answer.error = std::move(problem);
        return answer;
    }
    Attributes attributes(_account);
    ErrorSlot slot;
    SecretValue *value = secret_password_lookupv_binary_sync(&kSchema, attributes.table, nullptr, &slot.error);
    if (slot.error) {
        if (value)
            secret_value_unref(value);
        answer.error = failure(kOperation, _account, slot.error);
        return answer;
    }
    if (!value) {
        answer.state = KeyringState::NotFound;
        return answer;
    }
    // The value lives in libsecret's non-pageable memory, which it wipes when the value goes;
    // the copy made here is wiped by SecretText.
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    const void *zero = bytes ? std::memchr(bytes, '\0', length) : nullptr;
    const size_t used = zero ? static_cast<size_t>(static_cast<const gchar *>(zero) - bytes) : (bytes ? length : 0);
    answer.password = SecretText(std::string_view(bytes ? bytes : "", used));
    secret_value_unref(value);
    answer.state = KeyringState::Found;
    return answer;
}

KeyringAnswer Keyring::addItem(std::string_view password) const {
    constexpr const char *kOperation = "adding the keyring item";
    if (std::string problem = accountProblem(kOperation, _account); !problem.empty())
        return {KeyringState::Error, problem};
    // The stored secret ends in the zero byte that ends the password when it is read back.
    const size_t length = password.size() + 1;
    auto buffer = std::make_unique<char[]>(length);
    std::memcpy(buffer.get(), password.data(), password.size());
    buffer[password.size()] = '\0';
    SecretValue *value = secret_value_new(buffer.get(), static_cast<gssize>(length), "text/plain");
    ::explicit_bzero(buffer.get(), length);

    Attributes attributes(_account);
    ErrorSlot slot;
    const gboolean stored = secret_password_storev_binary_sync(&kSchema, attributes.table, SECRET_COLLECTION_DEFAULT,
                                                                kLabel, value, nullptr, &slot.error);
    secret_value_unref(value);
    if (!stored || slot.error)
        return {KeyringState::Error, failure(kOperation, _account, slot.error)};
    return {KeyringState::Found, {}};
}

KeyringAnswer Keyring::deleteItem() const {
    constexpr const char *kOperation = "deleting the keyring item";
    if (std::string problem = accountProblem(kOperation, _account); !problem.empty())
        return {KeyringState::Error, problem};
    Attributes attributes(_account);
    ErrorSlot slot;
    // Every matching item goes: one left behind (stored twice by another program) would keep
    // the lock on.
    const gboolean removed = secret_password_clearv_sync(&kSchema, attributes.table, nullptr, &slot.error);
    if (slot.error)
        return {KeyringState::Error, failure(kOperation, _account, slot.error)};
    return {removed ? KeyringState::Found : KeyringState::NotFound, {}};
}

} // namespace quillet::sys
