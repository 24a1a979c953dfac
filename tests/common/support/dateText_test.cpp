#include "support/DateText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace quillet {
namespace {

struct DateCase {
    std::string text;
    std::string_view layout;
    bool valid;
    DateFields expected{};
};

TEST(DateText, readsEachLayoutCharacterByCharacterAndChecksTheRanges) {
    const DateCase cases[] = {
        {"2008-03-14 15_42 +0100", kDateFolderLayout, true, {2008, 3, 14, 15, 42, 0, 3600}},
        {"2008-03-14 15_42 -0530", kDateFolderLayout, true, {2008, 3, 14, 15, 42, 0, -19800}},
        {"2008-03-14 15:42:07 +0000", kModificationDateLayout, true, {2008, 3, 14, 15, 42, 7, 0}},
        {"2024-02-29T23:59:60", kLocalTimeLayout, true, {2024, 2, 29, 23, 59, 60, std::nullopt}},
        // Not written so: another separator, a sign missing, a space for a digit, too short or
        // too long, another layout's text.
        {"2008-03-14 15:42 +0100", kDateFolderLayout, false},
        {"2008-03-14 15_42 0100", kDateFolderLayout, false},
        {"2008-03-14 1 _42 +0100", kDateFolderLayout, false},
        {"2008-03-14 15_42 +010", kDateFolderLayout, false},
        {"2008-03-14 15_42 +01000", kDateFolderLayout, false},
        {"2008-03-14 15_42 +0100", kModificationDateLayout, false},
        {"2008-03-14 15:42:07", kModificationDateLayout, false},
        {"", kLocalTimeLayout, false},
        // Out of range.
        {"2023-02-29T00:00:00", kLocalTimeLayout, false},
        {"2008-13-01T00:00:00", kLocalTimeLayout, false},
        {"2008-00-01T00:00:00", kLocalTimeLayout, false},
        {"2008-04-31T00:00:00", kLocalTimeLayout, false},
        {"2008-04-30T24:00:00", kLocalTimeLayout, false},
        {"2008-04-30T23:60:00", kLocalTimeLayout, false},
        {"2008-03-14 15_42 +2400", kDateFolderLayout, false},
        {"2008-03-14 15_42 +0060", kDateFolderLayout, false},
    };
    for (const DateCase &c : cases) {
        SCOPED_TRACE(c.text + " as " + std::string(c.layout));
        auto fields = readDate(c.text, c.layout);
        ASSERT_EQ(fields.has_value(), c.valid);
        if (!fields)
            continue;
        EXPECT_EQ(fields->year, c.expected.year);
        EXPECT_EQ(fields->month, c.expected.month);
        EXPECT_EQ(fields->day, c.expected.day);
        EXPECT_EQ(fields->hour, c.expected.hour);
        EXPECT_EQ(fields->minute, c.expected.minute);
        EXPECT_EQ(fields->second, c.expected.second);
        EXPECT_EQ(fields->offsetSeconds, c.expected.offsetSeconds);
    }
}

TEST(DateText, theMomentIsTakenInTheWrittenZoneOrElseTheLocalOne) {
    ::setenv("TZ", "Europe/Paris", 1);
    ::tzset();
    const time_t moment = 1205505720; // 2008-03-14 14:42:00 UTC
    EXPECT_EQ(momentOf(*readDate("2008-03-14 15_42 +0100", kDateFolderLayout)), moment);
    EXPECT_EQ(momentOf(*readDate("2008-03-14 09_12 -0530", kDateFolderLayout)), moment);
    EXPECT_EQ(momentOf(*readDate("2008-03-14T15:42:00", kLocalTimeLayout)), moment);
    // Summer time: the local offset of that day, not of today.
    EXPECT_EQ(momentOf(*readDate("2008-07-14T16:42:00", kLocalTimeLayout)), moment + 122 * 86400);
    ::unsetenv("TZ");
    ::tzset();
}

TEST(DateText, dayOfYearCountsTheLeapDay) {
    EXPECT_EQ(readDate("2008-01-01T00:00:00", kLocalTimeLayout)->dayOfYear(), 1);
    EXPECT_EQ(readDate("2008-03-01T00:00:00", kLocalTimeLayout)->dayOfYear(), 61);
    EXPECT_EQ(readDate("2009-03-01T00:00:00", kLocalTimeLayout)->dayOfYear(), 60);
    EXPECT_EQ(readDate("2008-12-31T00:00:00", kLocalTimeLayout)->dayOfYear(), 366);
}

} // namespace
} // namespace quillet
