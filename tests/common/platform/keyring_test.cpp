// The password item on a real Secret Service: a gnome-keyring daemon on a session bus of the
// test's own (KeyringSession), never the user's keyring.
#include "platform/Keyring.h"

#include "KeyringSession.h"
#include "TestDir.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <memory>
#include <string>

using namespace quillet;
using quillet::sys::Keyring;
using quillet::sys::KeyringState;
using quillet::test::KeyringSession;
using quillet::test::TestDir;

namespace {

const char *stateName(KeyringState state) {
    switch (state) {
    case KeyringState::Found: return "Found";
    case KeyringState::NotFound: return "NotFound";
    case KeyringState::Error: return "Error";
    }
    return "?";
}

// What another program would store under the same attributes: a schema of its own name, which
// the item's lookups do not match on, and a secret without the trailing zero byte.
const SecretSchema kOtherProgramSchema = {
    "org.example.OtherProgram",
    SECRET_SCHEMA_NONE,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Any item with the two attributes, whoever stored it.
const SecretSchema kAnySchema = {
    "org.example.AnyProgram",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

/// The raw secret of the item of account, as libsecret gives it; nothing when there is none.
std::unique_ptr<std::string> rawSecret(const std::string &account) {
    GError *error = nullptr;
    SecretValue *value = secret_password_lookup_binary_sync(&kAnySchema, nullptr, &error, "service",
                                                            sys::kKeyringService, "account", account.c_str(), nullptr);
    if (error) {
        ADD_FAILURE() << "raw lookup: " << error->message;
        g_error_free(error);
    }
    if (!value)
        return nullptr;
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    auto secret = std::make_unique<std::string>(bytes, length);
    secret_value_unref(value);
    return secret;
}

// Defined first, so that it runs before any test below connects this process to a session bus
// (GLib keeps the first connection it makes for the rest of the process).
TEST(KeyringWithoutBus, everyOperationIsAnErrorNamingItAndTheReason) {
    TestDir dir;
    test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir / "no-bus-here"));
    Keyring keyring("ann");

    const sys::KeyringAnswer found = keyring.findItem();
    EXPECT_EQ(found.state, KeyringState::Error);
    EXPECT_NE(found.error.find("looking up the keyring item (service Quillet1, account ann): "), std::string::npos)
        << found.error;
    const sys::KeyringPassword read = keyring.readPassword();
    EXPECT_EQ(read.state, KeyringState::Error);
    EXPECT_NE(read.error.find("reading the keyring item (service Quillet1, account ann): "), std::string::npos)
        << read.error;
    const sys::KeyringAnswer added = keyring.addItem("secret");
    EXPECT_EQ(added.state, KeyringState::Error);
    EXPECT_NE(added.error.find("adding the keyring item"), std::string::npos) << added.error;
    const sys::KeyringAnswer deleted = keyring.deleteItem();
    EXPECT_EQ(deleted.state, KeyringState::Error);
    EXPECT_NE(deleted.error.find("deleting the keyring item"), std::string::npos) << deleted.error;
    // The reason comes from the bus, after the item.
    EXPECT_GT(found.error.size(), std::string("looking up the keyring item (service Quillet1, account ann): ").size());
}

TEST(KeyringAccount, anAccountThatCannotNameAnItemIsAnErrorWithoutAskingTheBus) {
    struct Case {
        std::string account;
        std::string reason;
    };
    const Case cases[] = {{"", "the account has no login name"}, {"caf\xe9", "the login name is not UTF-8"}};
    for (const Case &c : cases) {
        Keyring keyring(c.account);
        const sys::KeyringAnswer found = keyring.findItem();
        EXPECT_EQ(found.state, KeyringState::Error) << c.reason;
        EXPECT_NE(found.error.find(c.reason), std::string::npos) << found.error;
        EXPECT_EQ(keyring.readPassword().state, KeyringState::Error) << c.reason;
        EXPECT_EQ(keyring.addItem("x").state, KeyringState::Error) << c.reason;
        EXPECT_EQ(keyring.deleteItem().state, KeyringState::Error) << c.reason;
    }
}

TEST(KeyringAccount, theDefaultAccountIsTheLoginNameOfTheRealUser) {
    const std::string name = sys::loginName();
    ASSERT_FALSE(name.empty()) << "this user has no entry in the password database";
    EXPECT_EQ(Keyring().account(), name);
    EXPECT_EQ(Keyring("someone").account(), "someone");
}

TEST(SecretText, matchesExactlyTheSameBytes) {
    struct Case {
        std::string stored;
        std::string typed;
        bool matches;
    };
    const Case cases[] = {
        {"secret", "secret", true},   {"secret", "secreT", false},  {"secret", "secret2", false},
        {"secret", "secre", false},   {"", "", true},               {"", "x", false},
        {"x", "", false},             {"p\xc3\xa4ss", "p\xc3\xa4ss", true},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sys::SecretText(c.stored).matches(c.typed), c.matches) << c.stored << " / " << c.typed;
}

TEST(SecretText, aMovedFromTextIsEmpty) {
    sys::SecretText first("secret");
    sys::SecretText second(std::move(first));
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second.view(), "secret");
    sys::SecretText third("other");
    third = std::move(second);
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(third.view(), "secret");
}

// One session for the whole suite: GLib keeps the connection to the first bus it reaches.
class KeyringTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!KeyringSession::missingTools().empty())
            return;
        _dir = new TestDir();
        _session = new KeyringSession(_dir->path());
        if (_session->started())
            ::setenv("DBUS_SESSION_BUS_ADDRESS", _session->busAddress().c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        delete _session;
        _session = nullptr;
        delete _dir;
        _dir = nullptr;
    }
    void SetUp() override {
        if (std::string missing = KeyringSession::missingTools(); !missing.empty())
            GTEST_SKIP() << "no keyring daemon to test against: " << missing;
        ASSERT_TRUE(_session->started()) << _session->failure();
        // Each test starts without the item.
        for (const char *account : {"ann", "bob"}) {
            const sys::KeyringAnswer cleared = Keyring(account).deleteItem();
            ASSERT_NE(cleared.state, KeyringState::Error) << cleared.error;
        }
    }

    static TestDir *_dir;
    static KeyringSession *_session;
};

TestDir *KeyringTest::_dir = nullptr;
KeyringSession *KeyringTest::_session = nullptr;

TEST_F(KeyringTest, noItemIsFoundAtFirst) {
    Keyring keyring("ann");
    const sys::KeyringAnswer found = keyring.findItem();
    EXPECT_EQ(found.state, KeyringState::NotFound) << stateName(found.state) << " " << found.error;
    EXPECT_TRUE(found.error.empty());
    const sys::KeyringPassword read = keyring.readPassword();
    EXPECT_EQ(read.state, KeyringState::NotFound) << read.error;
    EXPECT_TRUE(read.password.empty());
    EXPECT_EQ(keyring.deleteItem().state, KeyringState::NotFound);
}

TEST_F(KeyringTest, anAddedPasswordIsFoundAndReadsBackExactly) {
    const std::string passwords[] = {
        "secret",
        "p\xc3\xa4ss w\xc3\xb6rd \xe2\x82\xac \xf0\x9f\x94\x91", // "päss wörd € 🔑"
        "tab\tand spaces  ",
        std::string(1000, 'x'),
        "", // the creation sheet lets two empty fields through: one zero byte is stored
    };
    Keyring keyring("ann");
    for (const std::string &password : passwords) {
        const sys::KeyringAnswer added = keyring.addItem(password);
        ASSERT_EQ(added.state, KeyringState::Found) << added.error;
        const sys::KeyringAnswer found = keyring.findItem();
        EXPECT_EQ(found.state, KeyringState::Found) << found.error;
        const sys::KeyringPassword read = keyring.readPassword();
        ASSERT_EQ(read.state, KeyringState::Found) << read.error;
        EXPECT_EQ(read.password.view(), password);
        EXPECT_TRUE(read.password.matches(password));
        EXPECT_EQ(keyring.deleteItem().state, KeyringState::Found);
    }
}

TEST_F(KeyringTest, theStoredSecretIsThePasswordFollowedByOneZeroByte) {
    const std::string password = "p\xc3\xa4ssword";
    ASSERT_EQ(Keyring("ann").addItem(password).state, KeyringState::Found);
    auto secret = rawSecret("ann");
    ASSERT_TRUE(secret);
    EXPECT_EQ(*secret, password + std::string(1, '\0'));
    EXPECT_EQ(secret->size(), password.size() + 1);

    ASSERT_EQ(Keyring("ann").addItem("").state, KeyringState::Found);
    secret = rawSecret("ann");
    ASSERT_TRUE(secret);
    EXPECT_EQ(*secret, std::string(1, '\0'));
}

TEST_F(KeyringTest, aDeletedItemIsNotFoundAnyMore) {
    Keyring keyring("ann");
    ASSERT_EQ(keyring.addItem("secret").state, KeyringState::Found);
    const sys::KeyringAnswer deleted = keyring.deleteItem();
    EXPECT_EQ(deleted.state, KeyringState::Found) << deleted.error;
    EXPECT_EQ(keyring.findItem().state, KeyringState::NotFound);
    EXPECT_EQ(keyring.readPassword().state, KeyringState::NotFound);
    EXPECT_FALSE(rawSecret("ann"));
    EXPECT_EQ(keyring.deleteItem().state, KeyringState::NotFound);
}

TEST_F(KeyringTest, addingAgainReplacesThePassword) {
    Keyring keyring("ann");
    ASSERT_EQ(keyring.addItem("first").state, KeyringState::Found);
    ASSERT_EQ(keyring.addItem("second").state, KeyringState::Found);
    const sys::KeyringPassword read = keyring.readPassword();
    ASSERT_EQ(read.state, KeyringState::Found) << read.error;
    EXPECT_EQ(read.password.view(), "second");
    EXPECT_EQ(keyring.deleteItem().state, KeyringState::Found);
    EXPECT_EQ(keyring.findItem().state, KeyringState::NotFound);
}

TEST_F(KeyringTest, eachAccountHasItsOwnItem) {
    ASSERT_EQ(Keyring("ann").addItem("ann's").state, KeyringState::Found);
    EXPECT_EQ(Keyring("bob").findItem().state, KeyringState::NotFound);
    EXPECT_EQ(Keyring("bob").readPassword().state, KeyringState::NotFound);
    ASSERT_EQ(Keyring("bob").addItem("bob's").state, KeyringState::Found);
    EXPECT_EQ(Keyring("ann").readPassword().password.view(), "ann's");
    EXPECT_EQ(Keyring("bob").readPassword().password.view(), "bob's");
    EXPECT_EQ(Keyring("bob").deleteItem().state, KeyringState::Found);
    EXPECT_EQ(Keyring("ann").findItem().state, KeyringState::Found);
}

TEST_F(KeyringTest, anItemAnotherProgramStoredWithTheSameAttributesMatches) {
    // As `secret-tool store --label=… service Quillet1 account ann` would store it.
    GError *error = nullptr;
    const gboolean stored = secret_password_store_sync(&kOtherProgramSchema, SECRET_COLLECTION_DEFAULT, "by hand",
                                                       "typed elsewhere", nullptr, &error, "service",
                                                       sys::kKeyringService, "account", "ann", nullptr);
    ASSERT_TRUE(stored) << (error ? error->message : "no reason");
    Keyring keyring("ann");
    EXPECT_EQ(keyring.findItem().state, KeyringState::Found);
    // Without a trailing zero byte the whole secret is the password.
    const sys::KeyringPassword read = keyring.readPassword();
    ASSERT_EQ(read.state, KeyringState::Found) << read.error;
    EXPECT_EQ(read.password.view(), "typed elsewhere");
    EXPECT_EQ(keyring.deleteItem().state, KeyringState::Found);
    EXPECT_FALSE(rawSecret("ann"));
}

} // namespace
