#include "OtherAccount.h"

#include "TestDir.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace quillet::test {
namespace {

constexpr const char *kAccountName = "quillet-other";

std::optional<OtherAccount> lookUp() {
    struct passwd *entry = ::getpwnam(kAccountName);
    if (!entry)
        return std::nullopt;
    return OtherAccount{kAccountName, entry->pw_uid, entry->pw_gid};
}

} // namespace

std::optional<OtherAccount> otherAccount() {
    if (::geteuid() != 0)
        return std::nullopt;
    if (auto account = lookUp())
        return account;
    // A system account without home or login shell: it only ever owns test files and processes.
    if (runShell(std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + kAccountName +
                 " >/dev/null 2>&1") != 0)
        return lookUp(); // another test may have made it at the same moment
    return lookUp();
}

std::string otherAccountSkipReason() {
    return ::geteuid() != 0 ? "needs root to make and use a second account"
                            : "could not make the account quillet-other with useradd";
}

std::vector<std::string> commandAs(const OtherAccount &account, const std::string &program,
                                   const std::vector<std::string> &args) {
    std::vector<std::string> command = {"/usr/bin/setpriv", "--reuid=" + std::to_string(account.uid),
                                        "--regid=" + std::to_string(account.gid), "--clear-groups", "--", program};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

bool giveTo(const OtherAccount &account, const std::string &path) {
    return ::fchownat(AT_FDCWD, path.c_str(), account.uid, account.gid, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace quillet::test
