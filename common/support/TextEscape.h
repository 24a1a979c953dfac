#pragma once
// Names are bytes: any of them may hold a newline, a tab, a terminal's control characters or
// bytes that are not UTF-8. Where names are shown one per line (quilletctl's rows, the daemons'
// log), they are escaped as here, which takes every name back to its exact bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

/// Length of the well-formed UTF-8 sequence at text[i] (no surrogates, no overlong forms), 0
/// when the bytes there are not one.
size_t utf8SequenceLength(std::string_view text, size_t i);

/// Names and paths as the text output prints them, one row per line and tab-separated whatever
/// they hold: a backslash is written "\\", a newline "\n", a tab "\t", and every other byte of
/// a control character (C0, DEL, C1) or any byte that is not part of well-formed UTF-8 as "\ooo"
/// (a backslash and three octal digits). Everything else, printable UTF-8 included, is as it is.
std::string escapedText(std::string_view text);
/// Appends escapedText(text) to escaped.
void appendEscapedText(std::string &escaped, std::string_view text);
/// The bytes an escapedText text stands for; nothing when text is not exactly what escapedText
/// writes for them (a backslash that begins none of its escapes, "\101" for "A").
std::optional<std::string> unescapedText(std::string_view text);

} // namespace quillet
