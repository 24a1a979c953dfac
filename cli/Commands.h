#pragma once
// quilletctl: the command line over the core, for terminals and scripts. Each command is a
// function of its arguments and two output streams, so tests can run it in process as well as
// through the built program.
//
// Exit statuses: 0 success, 1 failure (the message names the item and the reason), 2 usage error.

#include "support/TextEscape.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
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
    /// The descriptor the password of the lock is read from, a byte at a time so that in is
    /// left whole (standard input for the program); -1: none, the lock then refuses.
    int passwordFd = -1;
};

/// Runs quilletctl with args (the program name excluded); answers the exit status.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, const Console &console = {});

// Names and paths in text output: escapedText and unescapedText (TextEscape.h).
using quillet::escapedText;
using quillet::unescapedText;

/// Text as a JSON string literal, quotes included. Names are bytes and JSON is Unicode:
/// well-formed UTF-8 is written as the text it is (quotes, backslashes and control characters
/// escaped), and every byte that is not part of well-formed UTF-8 as the lone surrogate
/// "\udcXX" (XX its value, 80 to ff), as Python's "surrogateescape" reads bytes. A decoder
/// that encodes the text the same way (os.fsencode) gets the bytes back exactly.
std::string jsonString(std::string_view text);
/// The bytes a JSON-decoded path stands for when its lone surrogates U+DC80..U+DCFF were
/// written out as UTF-8 sequences (ED B2 80 .. ED B3 BF, as lenient encoders do): each such
/// sequence becomes the byte it escapes. Nothing when text holds none.
std::optional<std::string> surrogateEscapesDecoded(std::string_view text);

} // namespace quillet::cli
