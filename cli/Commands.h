#pragma once
// quilletctl: the command line over the core, for terminals and scripts. Each command is a
// function of its arguments and two output streams, so tests can run it in process as well as
// through the built program.
//
// Exit statuses: 0 success, 1 failure (the message names the item and the reason), 2 usage error.

#include <iosfwd>
#include <string>
#include <vector>

namespace quillet::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// What quilletctl knows of the terminal it runs on.
struct Console {
    /// Standard input and standard error are a terminal: deleting asks first, and long work
    /// draws a progress bar on err.
    bool interactive = false;
    /// Where the answer to a question is read from (interactive only).
    std::istream *in = nullptr;
};

/// Runs quilletctl with args (the program name excluded); answers the exit status.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, const Console &console = {});

/// Text as a JSON string literal, quotes included.
std::string jsonString(const std::string &text);

} // namespace quillet::cli
