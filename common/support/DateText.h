#pragma once
// Dates written as text: every date the system reads back (date-folder names, the browser's
// modification dates, the times of the daemon log) is read by the one parser here.

#include <ctime>
#include <optional>
#include <string_view>

namespace quillet {

/// A calendar date and time as written, and the zone offset when the text gives one.
struct DateFields {
    int year = 0;
    int month = 0;  ///< 1 to 12
    int day = 0;    ///< 1 to the month's last day
    int hour = 0;   ///< 0 to 23
    int minute = 0; ///< 0 to 59
    int second = 0; ///< 0 to 60 (a leap second)
    /// Seconds east of UTC ("+0100": 3600); nothing when the layout has no zone.
    std::optional<long> offsetSeconds;
    /// Day of the year, 1 to 366, of the date as written.
    int dayOfYear() const;
};

/// Layouts of dates, one character per character of the text: Y M D h m s stand for the digits
/// of year, month, day, hour, minute and second, "z" for a zone of five characters ("+0100",
/// "-0530"), and every other character for itself.
inline constexpr std::string_view kDateFolderLayout = "YYYY-MM-DD hh_mm z";           ///< "2008-03-14 15_42 +0100"
inline constexpr std::string_view kModificationDateLayout = "YYYY-MM-DD hh:mm:ss z";  ///< "2008-03-14 15:42:07 +0100"
inline constexpr std::string_view kLocalTimeLayout = "YYYY-MM-DDThh:mm:ss";           ///< "2008-03-14T15:42:07"

/// The fields of text written in layout, or nothing when it is not so written (every character
/// checked, so no other text reads as a date) or a field is out of its range.
std::optional<DateFields> readDate(std::string_view text, std::string_view layout);

/// The moment the fields stand for in their zone; without one, in the local time zone.
time_t momentOf(const DateFields &fields);
/// The moment written as a calendar date and time in a zone offsetSeconds east of UTC.
time_t momentOf(int year, int month, int day, int hour, int minute, int second, long offsetSeconds);

} // namespace quillet
