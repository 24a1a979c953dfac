#pragma once
// Sizes as the window shows them: the core's size texts ("1.5KB", "0B", "0") with the user's
// decimal separator and the unit translated ("B", "KB", "MB", "GB").

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::app {

/// The user's decimal separator as the core takes it: the locale's when it is one ASCII
/// character, else '.' (which shownSize then replaces).
char coreDecimalSeparator();
/// A size text of the core, made with coreDecimalSeparator(), as the user reads it: the number
/// with the locale's separator, then the translated unit ("%1%2"); a text without a unit stays
/// a bare number.
QString shownSize(const std::string &coreText);
/// sizeText of bytes as the user reads it.
QString shownSize(uint64_t bytes);
/// "B", "KB", "MB" or "GB" translated; any other unit as it is.
QString translatedUnit(std::string_view unit);

} // namespace quillet::app
