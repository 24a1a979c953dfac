#include "platform/TrustedFolder.h"

#include "OtherAccount.h"
#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

using namespace quillet;
using quillet::test::TestDir;

namespace {

struct RefusalCase {
    const char *label;
    std::function<void(TestDir &)> craft; ///< makes "entry" in the test folder
    int code;                              ///< 0: opened
    const char *reason;
};

} // namespace

// Every way a folder can fail to be the user's own is refused with its own words, and a real
// folder of the user's opens.
TEST(TrustedFolder, onlyRealFoldersOfTheUserOpen) {
    const std::vector<RefusalCase> cases = {
        {"own folder", [](TestDir &d) { d.makeDir("entry", 0700); }, 0, ""},
        {"link to an own folder",
         [](TestDir &d) { ASSERT_EQ(::symlink(d.makeDir("real").c_str(), (d / "entry").c_str()), 0); }, ELOOP,
         "a symbolic link, not a folder"},
        {"file", [](TestDir &d) { d.writeFile("entry", "x"); }, ENOTDIR, "not a folder"},
        {"another account's folder",
         [](TestDir &d) {
             d.makeDir("entry", 0777);
             ASSERT_EQ(::chown((d / "entry").c_str(), 4242, 4242), 0);
         },
         EPERM, "belongs to another account (uid 4242)"},
        {"missing", [](TestDir &) {}, ENOENT, ""},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.label);
        TestDir dir;
        c.craft(dir);
        for (const std::string &path : {dir / "entry", dir / "entry/"}) {
            auto opened = sys::openOwnedFolder(path);
            EXPECT_EQ(opened.code(), c.code);
            if (c.code != 0 && c.code != ENOENT) {
                EXPECT_EQ(opened.status().message(), dir / "entry" + ": " + c.reason);
            }
        }
        auto parent = sys::openDirectory(dir.path());
        ASSERT_TRUE(parent.ok());
        EXPECT_EQ(sys::openOwnedFolderAt(parent->get(), "entry").code(), c.code);
    }
}

TEST(TrustedFolder, pathsAreWalkedFolderByFolder) {
    TestDir dir;
    dir.makeDir("a/b/c");
    ASSERT_EQ(::symlink((dir / "a/b").c_str(), (dir / "a/linked").c_str()), 0);
    auto base = sys::openDirectory(dir.path());
    ASSERT_TRUE(base.ok());
    EXPECT_TRUE(sys::openOwnedPathAt(base->get(), "a/b/c/", dir.path()).ok());
    EXPECT_TRUE(sys::openOwnedPathAt(base->get(), "", dir.path()).ok());
    auto throughLink = sys::openOwnedPathAt(base->get(), "a/linked/c", dir.path());
    EXPECT_EQ(throughLink.code(), ELOOP);
    EXPECT_EQ(throughLink.status().message(), dir / "a/linked: a symbolic link, not a folder");
    EXPECT_EQ(sys::openOwnedPathAt(base->get(), "a/../a/b", dir.path()).code(), EINVAL);
    EXPECT_EQ(sys::openPathWithoutLinksAt(base->get(), "a/linked/c", dir.path()).code(), ELOOP);
    ASSERT_EQ(::chown((dir / "a/b").c_str(), 4242, 4242), 0);
    EXPECT_EQ(sys::openOwnedPathAt(base->get(), "a/b/c", dir.path()).code(), EPERM);
    EXPECT_TRUE(sys::openPathWithoutLinksAt(base->get(), "a/b/c", dir.path()).ok()) << "owners are not its business";
}

TEST(TrustedFolder, sharedFoldersMustBeStickyAndReal) {
    TestDir dir;
    dir.makeDir("shared", 0777);
    auto base = sys::openDirectory(dir.path());
    ASSERT_TRUE(base.ok());
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 0777), 0);
    auto loose = sys::openStickyFolderAt(base->get(), "shared");
    EXPECT_EQ(loose.code(), EPERM);
    EXPECT_NE(loose.status().message().find("not sticky"), std::string::npos);
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
    ASSERT_EQ(::chown((dir / "shared").c_str(), 4242, 4242), 0);
    EXPECT_TRUE(sys::openStickyFolderAt(base->get(), "shared").ok()) << "an administrator's folder is anyone's";
    ASSERT_EQ(::symlink((dir / "shared").c_str(), (dir / "linked").c_str()), 0);
    EXPECT_EQ(sys::openStickyFolderAt(base->get(), "linked").code(), ELOOP);
}

// As an ordinary user, another account's private folder cannot even be opened: it is still
// named for what it is, not "permission denied".
TEST(TrustedFolder, anotherAccountsPrivateFolderIsNamedAsSuchForAnOrdinaryUser) {
    auto user = quillet::test::otherAccount();
    if (!user)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    TestDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    dir.makeDir("private", 0700); // root's
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(user->gid) != 0 || ::setuid(user->uid) != 0)
            ::_exit(10);
        auto opened = sys::openOwnedFolder(dir / "private");
        ::_exit(opened.code() == EPERM && opened.status().message() == dir / "private: belongs to another account (uid 0)"
                    ? 0
                    : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
