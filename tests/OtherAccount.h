#pragma once
// A second account of this machine, for tests of what another user can and cannot do: its
// processes running beside ours, its folders and links on a shared volume.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quillet::test {

struct OtherAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

/// The account "quillet-other", made with useradd when it is missing. Nothing when this
/// process is not root (tests then skip with skipReason()).
std::optional<OtherAccount> otherAccount();
/// Why otherAccount() gave nothing.
std::string otherAccountSkipReason();

/// The program and arguments that run program with args as account (setpriv with the
/// account's real and effective ids and no supplementary groups); the process keeps its pid
/// through the exec.
std::vector<std::string> commandAs(const OtherAccount &account, const std::string &program,
                                   const std::vector<std::string> &args);

/// Gives path (not following a link) to the account, as chown would.
bool giveTo(const OtherAccount &account, const std::string &path);

} // namespace quillet::test
