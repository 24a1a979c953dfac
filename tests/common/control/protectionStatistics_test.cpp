#include "control/ProtectionStatistics.h"

#include "TestDir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

using namespace quillet;
using quillet::test::TestDir;

TEST(ProtectionStatistics, sizesReadAsTheUserExpects) {
    struct Case {
        uint64_t bytes;
        const char *text;
    } cases[] = {{0, "0B"},
                 {1024, "1024B"},
                 {1025, "1.1KB"},
                 {1536, "1.5KB"},
                 {1048576, "1024KB"},
                 {1048577, "1MB"},
                 {5u * 1048576 / 2, "2.5MB"},
                 {1073741824, "1024MB"},
                 {3ull << 30, "3GB"},
                 {(3ull << 30) + (1ull << 29), "3.5GB"}};
    for (const Case &c : cases)
        EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(sizeText(1536, ','), "1,5KB");
    EXPECT_EQ(trashSizeText(0), "0");
    EXPECT_EQ(trashSizeText(2048), "2KB");
}

// Under a locale whose decimal point is ",", printf-style formatting would write "3,0GB": the
// whole-number test and the separator the caller asks for would both miss it.
TEST(ProtectionStatistics, sizesIgnoreTheProcessLocaleAndTakeTheSeparatorAsked) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/bootstrap generates it)";
    struct Restore {
        std::string locale;
        ~Restore() { std::setlocale(LC_ALL, locale.c_str()); }
    } restore{before};
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    struct Case {
        uint64_t bytes;
        char separator;
        const char *text;
    } cases[] = {{3ull << 30, '.', "3GB"},          {3ull << 30, ',', "3GB"},      {1536, '.', "1.5KB"},
                 {1536, ',', "1,5KB"},               {5u * 1048576 / 2, '\'', "2'5MB"}, {1048577, ',', "1MB"},
                 {(3ull << 30) + (1ull << 29), ',', "3,5GB"}};
    for (const Case &c : cases)
        EXPECT_EQ(sizeText(c.bytes, c.separator), c.text) << c.bytes << " " << c.separator;
    EXPECT_EQ(trashSizeText(1536, ','), "1,5KB");
    EXPECT_EQ(trashSizeText(0, ','), "0");
}

TEST(ProtectionStatistics, trashChangesAreSeenByTheirEntryCount) {
    TestDir dir;
    std::string home = dir.makeDir("Trash/files");
    std::string volume = dir.makeDir("volume/files");
    dir.writeFile("Trash/files/a", "12345");
    dir.writeFile("volume/files/.hidden", "123");
    uint64_t known = 0;
    EXPECT_TRUE(mustUpdateStats({home, volume, dir / "missing"}, &known));
    EXPECT_EQ(known, 2u);
    EXPECT_FALSE(mustUpdateStats({home, volume}, &known));
    dir.writeFile("Trash/files/b");
    EXPECT_TRUE(mustUpdateStats({home, volume}, &known));
    EXPECT_EQ(known, 3u);
    EXPECT_EQ(totalFolderSize({home, volume}), 8u);
}
