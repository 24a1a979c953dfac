#include "archive/CacheLayout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <ctime>

using namespace quillet;

namespace {

// Runs the body with TZ set, restoring the previous zone afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char *zone) {
        if (const char *old = std::getenv("TZ"))
            _old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (_old.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", _old.c_str(), 1);
        ::tzset();
    }

private:
    std::string _old;
};

time_t utc(int year, int month, int day, int hour, int minute, int second = 0) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return ::timegm(&t);
}

} // namespace

struct ZoneCase {
    const char *zone;
    time_t moment;
    const char *name;
};

class DateFolderNames : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(DateFolderNames, nameInZoneAndBackToTheSameMinute) {
    const ZoneCase &c = GetParam();
    ZoneScope zone(c.zone);
    std::string name = finderCompatibleDateDescription(c.moment);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(name.size(), kDateFolderNameLength);
    auto parsed = dateFromFinderCompatibleDateDescription(name);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, c.moment - c.moment % 60);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, DateFolderNames,
    ::testing::Values(
        // One hour east of UTC.
        ZoneCase{"CET-1", utc(2008, 3, 14, 14, 42, 31), "2008-03-14 15_42 +0100"},
        // Five hours west of UTC.
        ZoneCase{"EST5", utc(2008, 3, 14, 14, 42), "2008-03-14 09_42 -0500"},
        // Half-hour offsets and a date that moves to the next day.
        ZoneCase{"IST-5:30", utc(2026, 12, 31, 20, 0), "2027-01-01 01_30 +0530"},
        ZoneCase{"UTC0", utc(2026, 2, 28, 23, 59, 59), "2026-02-28 23_59 +0000"}));

TEST(DateFolderNamesReverse, nameInAnotherZoneStillGivesItsOwnMoment) {
    ZoneScope zone("UTC0");
    auto parsed = dateFromFinderCompatibleDateDescription("2008-03-14 15_42 +0100");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, utc(2008, 3, 14, 14, 42));
}

TEST(DateFolderNamesReverse, namesThatAreNotDatesGiveNoDate) {
    for (const char *name : {"", "ArchivedFileData", "UPD_FLAG", "UPD_FLAG_CACHE_MANAGER", "Photos",
                             "2008-03-14 15:42 +0100",   // colons, not underscores
                             "2008-03-14 15_42 +010",    // short zone
                             "2008-03-14 15_42 +01000",  // long
                             "2008-13-14 15_42 +0100",   // month 13
                             "2008-02-30 15_42 +0100",   // no such day
                             "2008-03-14 24_00 +0100", "2008-03-14 15_60 +0100", "2008-03-14 15_42 *0100",
                             "2008-03-14T15_42 +0100", "20a8-03-14 15_42 +0100", ".x_2008-03-14 15_42"})
        EXPECT_FALSE(dateFromFinderCompatibleDateDescription(name).has_value()) << name;
}

TEST(DateFolderNamesReverse, leapDayParses) {
    EXPECT_TRUE(dateFromFinderCompatibleDateDescription("2024-02-29 00_00 +0000").has_value());
    EXPECT_FALSE(dateFromFinderCompatibleDateDescription("2023-02-29 00_00 +0000").has_value());
}

TEST(DateFolderNames, namesSortInTimeOrderWithinOneZone) {
    ZoneScope zone("CET-1");
    std::string earlier = finderCompatibleDateDescription(utc(2009, 9, 30, 23, 59));
    std::string later = finderCompatibleDateDescription(utc(2009, 10, 1, 0, 0));
    EXPECT_LT(earlier, later);
}

struct HiddenCase {
    const char *name;
    const char *visible;
    const char *hidden;
    const char *indexName;
};

class HiddenNames : public ::testing::TestWithParam<HiddenCase> {};

TEST_P(HiddenNames, convertBothWays) {
    const HiddenCase &c = GetParam();
    EXPECT_EQ(setFileName(c.name, Visibility::Visible), c.visible);
    EXPECT_EQ(setFileName(c.name, Visibility::Hidden), c.hidden);
    EXPECT_EQ(indexHiddenName(c.name), c.indexName);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HiddenNames,
    ::testing::Values(HiddenCase{"Report.pdf", "Report.pdf", ".x_Report.pdf", ".x_Report.pdf"},
                      HiddenCase{".x_Report.pdf", "Report.pdf", ".x_.x_Report.pdf", ".x_Report.pdf"},
                      HiddenCase{".x_", "", ".x_.x_", ".x_"},
                      HiddenCase{".x", ".x", ".x_.x", ".x_.x"},
                      HiddenCase{".X_a", ".X_a", ".x_.X_a", ".x_.X_a"},  // case-sensitive
                      HiddenCase{"", "", ".x_", ".x_"},
                      HiddenCase{".x_.x_a", ".x_a", ".x_.x_.x_a", ".x_.x_a"},
                      HiddenCase{"line\nbreak", "line\nbreak", ".x_line\nbreak", ".x_line\nbreak"},
                      HiddenCase{"\xff\xfe", "\xff\xfe", ".x_\xff\xfe", ".x_\xff\xfe"}));

TEST(CacheLayout, numberedNamesGoBeforeTheExtensionOfFilesAndAfterFolders) {
    struct Case {
        const char *stored;
        unsigned n;
        bool folder;
        const char *numbered;
    };
    const Case cases[] = {
        {".x_Report.pdf", 0, false, ".x_Report.pdf"},   {".x_Report.pdf", 1, false, ".x_Report-1.pdf"},
        {".x_archive.tar.gz", 2, false, ".x_archive.tar-2.gz"}, {".x_.bashrc", 1, false, ".x_.bashrc-1"},
        {".x_notes.", 3, false, ".x_notes.-3"},          {".x_Photos.2024", 1, true, ".x_Photos.2024-1"},
        {".x_.x_a.txt", 1, false, ".x_.x_a-1.txt"},     {"plain", 4, false, "plain-4"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(numberedName(c.stored, c.n, c.folder), c.numbered) << c.stored << " " << c.n;
        if (c.n == 0)
            continue;
        auto back = unnumberedNames(c.numbered);
        EXPECT_NE(std::find(back.begin(), back.end(), c.stored), back.end()) << c.numbered;
    }
    // Names that carry no number give nothing back.
    for (const char *plain : {".x_Report.pdf", ".x_-1", ".x_a-01.txt", ".x_a-.txt", ".x_1999", ".x_a-1234567"})
        EXPECT_TRUE(unnumberedNames(plain).empty()) << plain;
    EXPECT_TRUE(isInternalName(".quillet-partial-1-2"));
    EXPECT_FALSE(isInternalName(".x_.quillet-partial-1-2"));
}
