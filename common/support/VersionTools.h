#pragma once
// Version numbers of the update check: finding the one a download page names after the
// product's title, and telling whether it is newer than the running one. Stateless; no I/O.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

/// The most characters a version found on a page may have; a longer number is cut there.
inline constexpr size_t kMaxVersionLength = 127;

/// The version that follows title in text. At each occurrence of title (literal, byte-exact
/// search, from the start of text): blanks, tabs, line ends and hyphens are skipped, and so is
/// a mark-up tag ("<" up to and including the next ">"); then a digit must come (anything else
/// rejects this occurrence), and digits, points and ASCII letters are collected until another
/// character, the end of text, or kMaxVersionLength characters. What was collected is the
/// version when it holds a point; otherwise the search goes on at the next occurrence of title
/// (one byte after the start of this one).
///   "Quillet <b>2.1.3</b>" → "2.1.3"   "Quillet - 2.1" → "2.1"   "Quillet v2.1" → rejected
/// Answers nothing when title never occurs, "" when it occurs but no occurrence is followed by
/// a version.
std::optional<std::string> searchVersion(std::string_view title, std::string_view text);

/// Orders two versions: negative when a is older than b, 0 when they are the same version,
/// positive when a is newer. A version is read as a row of fields: runs of digits (numbers) and
/// runs of ASCII letters (pre-release tags), any other character only separating them
/// ("2.0b3" is 2, 0, b, 3). Rows are compared field by field:
///   - numbers by value, however long (leading zeros do not count: 1.010 is 1.10);
///   - a number is newer than a tag in its place (1.5.1 is newer than 1.5b1);
///   - tags alphabetically, case ignored (2.0a1 < 2.0b1 < 2.0rc1);
///   - where one row has ended, a missing number counts as 0 (1.5 is 1.5.0) and a tag is
///     older than the end (2.0b3 < 2.0: a released version is newer than its pre-releases).
/// So 1.9 < 1.10, 2.0b3 < 2.0b10 < 2.0 < 2.0.1.
int compareVersions(std::string_view a, std::string_view b);

/// Whether candidate (found on the page) is newer than current (the running version), by
/// compareVersions. No candidate, or an empty one, or one longer than kMaxVersionLength, is
/// never newer; with a candidate, a missing or empty current version is always older.
bool isThisVersionNewerThan(std::optional<std::string_view> candidate, std::optional<std::string_view> current);

} // namespace quillet
