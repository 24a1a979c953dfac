#pragma once
// What the quilletctl commands share: their parsed options and the helpers every command uses.
// Each command lives in one of the cli/*Commands files and is a function of its options and
// two output streams.

#include "browser/BrowserItem.h"
#include "Commands.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace quillet::cli {

// Options shared by the commands: --json plus the positional arguments; anything else starting
// with "-" is reported by the command.
struct Options {
    bool json = false;
    bool help = false;
    /// --password-stdin: the password of the lock is the first line of standard input.
    bool passwordStdin = false;
    std::vector<std::string> positional;
    std::vector<std::string> other;
    Console console;
};

bool isHelp(const std::string &arg);
/// Writes "quilletctl: message" and the command's help to err; answers kExitUsage.
int usageError(std::ostream &err, const std::string &message, const char *help);
/// The whole of text as a decimal integer, or nothing.
std::optional<int64_t> parseInteger(const std::string &text);
/// The browser rows of the cached items the ITEM arguments name (paths as list and search show
/// them), or nothing after writing to err why each argument that is not one is not.
std::optional<std::vector<BrowserItem>> cachedItems(const std::vector<std::string> &arguments,
                                                    const std::vector<std::string> &caches, std::ostream &err);

/// The password lock of the cache (the commands that show or touch cached items call it first):
/// when the domain holds "App must ask for password" = 1, asks for the password ("Password: " on
/// err, echo off, when standard input and err are a terminal; one line of standard input, its
/// newline left out, with --password-stdin) and compares it with the keyring's. kExitSuccess
/// when the command may go on; otherwise kExitFailure after saying why on err: no way to ask,
/// a wrong password, or a keyring that cannot answer (never let through). Without the lock it
/// asks nothing and never reaches the keyring.
int passwordLockCheck(const Options &options, std::ostream &err);

extern const char *const kRecoverHelp;
extern const char *const kEmptyHelp;
int recover(const Options &options, std::ostream &out, std::ostream &err);
int empty(const Options &options, std::ostream &out, std::ostream &err);
extern const char *const kRestoreHelp;
int restore(const Options &options, std::ostream &out, std::ostream &err);

} // namespace quillet::cli
