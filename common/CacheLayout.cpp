#include "CacheLayout.h"

#include <algorithm>
#include <cctype>

namespace quillet {

std::string finderCompatibleDateDescription(time_t date) {
    struct tm local {};
    if (!::localtime_r(&date, &local))
        return {};
    char buffer[64];
    size_t length = ::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M %z", &local);
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
    return ::timegm(&utc) - offsetSeconds;
}

bool hasHiddenPrefix(std::string_view name) { return name.starts_with(kHiddenPrefix); }

std::string setFileName(std::string_view name, Visibility visibleInFinder) {
    if (visibleInFinder == Visibility::Visible)
        return std::string(hasHiddenPrefix(name) ? name.substr(kHiddenPrefix.size()) : name);
    std::string hidden(kHiddenPrefix);
    hidden += name;
    return hidden;
}

std::string indexHiddenName(std::string_view name) {
    return hasHiddenPrefix(name) ? std::string(name) : setFileName(name, Visibility::Hidden);
}

} // namespace quillet
