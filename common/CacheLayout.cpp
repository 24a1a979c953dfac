#include "CacheLayout.h"

#include "platform/System.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace quillet {

std::string finderCompatibleDateDescription(time_t date) {
    auto local = sys::localTime(date);
    if (!local)
        return {};
    char buffer[64];
    size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M %z", &*local);
    std::string name(buffer, length);
    std::replace(name.begin(), name.end(), ':', '_');
    return name;
}

namespace {

bool readDigits(std::string_view text, size_t at, size_t count, int &value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

std::optional<time_t> dateFromFinderCompatibleDateDescription(std::string_view name) {
    // "YYYY-MM-DD HH_MM ±hhmm": the date-folder name with ":" written as "_". The name is
    // checked character by character, so the index and marker files, and anything a user
    // may have put in the cache folder, never read as dates.
    if (name.size() != kDateFolderNameLength)
        return std::nullopt;
    if (name[4] != '-' || name[7] != '-' || name[10] != ' ' || name[13] != '_' || name[16] != ' ' ||
        (name[17] != '+' && name[17] != '-'))
        return std::nullopt;
    int year, month, day, hour, minute, zoneHours, zoneMinutes;
    if (!readDigits(name, 0, 4, year) || !readDigits(name, 5, 2, month) || !readDigits(name, 8, 2, day) ||
        !readDigits(name, 11, 2, hour) || !readDigits(name, 14, 2, minute) ||
        !readDigits(name, 18, 2, zoneHours) || !readDigits(name, 20, 2, zoneMinutes))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        zoneHours > 23 || zoneMinutes > 59)
        return std::nullopt;
    long offset = (zoneHours * 3600L + zoneMinutes * 60L) * (name[17] == '-' ? -1 : 1);
    return momentOf(year, month, day, hour, minute, 0, offset);
}

time_t momentOf(int year, int month, int day, int hour, int minute, int second, long offsetSeconds) {
    struct tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    return sys::fromUtcTime(utc) - offsetSeconds;
}

bool hasHiddenPrefix(std::string_view name) { return name.starts_with(kHiddenPrefix); }

std::string setFileName(std::string_view name, Visibility visibleInFinder) {
    if (visibleInFinder == Visibility::Visible)
        return std::string(hasHiddenPrefix(name) ? name.substr(kHiddenPrefix.size()) : name);
    std::string hidden(kHiddenPrefix);
    hidden += name;
    return hidden;
}

std::optional<std::string> storedNameOf(std::string_view name) {
    if (name.size() + kHiddenPrefix.size() <= kMaxNameBytes)
        return setFileName(name, Visibility::Hidden);
    if (hasHiddenPrefix(name))
        return std::nullopt;
    return std::string(name);
}

std::string indexHiddenName(std::string_view name) {
    return hasHiddenPrefix(name) ? std::string(name) : setFileName(name, Visibility::Hidden);
}

bool isInternalName(std::string_view name) { return name.starts_with(kInternalPrefix); }

namespace {

/// Where a visible name's extension begins (its last dot), or npos when it has none.
size_t extensionDot(std::string_view visible) {
    const size_t dot = visible.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == visible.size())
        return std::string_view::npos;
    return dot;
}

/// Length of a "-<n>" suffix (n from 1, without leading zero) ending text, 0 when there is none.
size_t numberSuffixLength(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits])))
        ++digits;
    if (digits == 0 || digits + 1 >= text.size() || text[text.size() - 1 - digits] != '-' ||
        text[text.size() - digits] == '0' || digits > 6)
        return 0;
    return digits + 1;
}

} // namespace

std::string numberedName(std::string_view storedName, unsigned n, bool isFolder) {
    if (n == 0)
        return std::string(storedName);
    const std::string_view prefix = hasHiddenPrefix(storedName) ? kHiddenPrefix : std::string_view();
    const std::string_view visible = storedName.substr(prefix.size());
    const std::string number = "-" + std::to_string(n);
    const size_t dot = isFolder ? std::string_view::npos : extensionDot(visible);
    if (dot == std::string_view::npos)
        return std::string(storedName) + number;
    return std::string(prefix) + std::string(visible.substr(0, dot)) + number + std::string(visible.substr(dot));
}

std::vector<std::string> unnumberedNames(std::string_view storedName) {
    const std::string_view prefix = hasHiddenPrefix(storedName) ? kHiddenPrefix : std::string_view();
    const std::string_view visible = storedName.substr(prefix.size());
    std::vector<std::string> names;
    // A folder's number, or a file's without an extension, ends the name.
    if (size_t length = numberSuffixLength(visible))
        names.push_back(std::string(prefix) + std::string(visible.substr(0, visible.size() - length)));
    // A file's number comes before its extension.
    const size_t dot = extensionDot(visible);
    if (dot != std::string_view::npos) {
        if (size_t length = numberSuffixLength(visible.substr(0, dot)))
            names.push_back(std::string(prefix) + std::string(visible.substr(0, dot - length)) +
                            std::string(visible.substr(dot)));
    }
    return names;
}

} // namespace quillet
