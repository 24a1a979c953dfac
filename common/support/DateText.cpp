#include "support/DateText.h"

#include "platform/System.h"

namespace quillet {
namespace {

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

constexpr size_t kZoneLength = 5; // "+0100"

} // namespace

int DateFields::dayOfYear() const {
    static constexpr int kDaysBeforeMonth[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    return kDaysBeforeMonth[month - 1] + day + (isLeapYear(year) && month > 2 ? 1 : 0);
}

std::optional<DateFields> readDate(std::string_view text, std::string_view layout) {
    DateFields fields;
    size_t at = 0;
    for (size_t i = 0; i < layout.size(); ++i) {
        const char field = layout[i];
        if (field == 'z') {
            if (text.size() < at + kZoneLength || (text[at] != '+' && text[at] != '-'))
                return std::nullopt;
            int hours = 0, minutes = 0;
            for (size_t k = 1; k < kZoneLength; ++k) {
                const char c = text[at + k];
                if (c < '0' || c > '9')
                    return std::nullopt;
                (k <= 2 ? hours : minutes) = (k <= 2 ? hours : minutes) * 10 + (c - '0');
            }
            if (hours > 23 || minutes > 59)
                return std::nullopt;
            fields.offsetSeconds = (hours * 3600L + minutes * 60L) * (text[at] == '-' ? -1 : 1);
            at += kZoneLength;
            continue;
        }
        if (at >= text.size())
            return std::nullopt;
        const char c = text[at++];
        int *value = field == 'Y' ? &fields.year
                     : field == 'M' ? &fields.month
                     : field == 'D' ? &fields.day
                     : field == 'h' ? &fields.hour
                     : field == 'm' ? &fields.minute
                     : field == 's' ? &fields.second
                                    : nullptr;
        if (!value) {
            if (c != field)
                return std::nullopt;
            continue;
        }
        if (c < '0' || c > '9')
            return std::nullopt;
        *value = *value * 10 + (c - '0');
    }
    if (at != text.size())
        return std::nullopt;
    if (fields.month < 1 || fields.month > 12 || fields.day < 1 || fields.day > daysInMonth(fields.year, fields.month) ||
        fields.hour > 23 || fields.minute > 59 || fields.second > 60)
        return std::nullopt;
    return fields;
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

time_t momentOf(const DateFields &fields) {
    if (fields.offsetSeconds)
        return momentOf(fields.year, fields.month, fields.day, fields.hour, fields.minute, fields.second,
                        *fields.offsetSeconds);
    struct tm local {};
    local.tm_year = fields.year - 1900;
    local.tm_mon = fields.month - 1;
    local.tm_mday = fields.day;
    local.tm_hour = fields.hour;
    local.tm_min = fields.minute;
    local.tm_sec = fields.second;
    local.tm_isdst = -1; // whichever the zone had then
    return sys::fromLocalTime(local);
}

} // namespace quillet
