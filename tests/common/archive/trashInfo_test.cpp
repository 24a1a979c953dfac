#include "archive/TrashInfo.h"

#include "TestDir.h"
#include "platform/System.h"

#include <gtest/gtest.h>

using namespace quillet;
using quillet::test::TestDir;

TEST(TrashInfo, aTrashInfoFileGivesItsPathAndDate) {
    struct Case {
        const char *text;
        std::optional<TrashInfo> expected;
    };
    const Case cases[] = {
        {"[Trash Info]\nPath=/home/u/Report%20final.pdf\nDeletionDate=2026-12-08T10:15:00\n",
         TrashInfo{"/home/u/Report%20final.pdf", "2026-12-08T10:15:00"}},
        {"[Trash Info]\r\nDeletionDate=2026-12-08T10:15:00\r\nPath=docs/a.txt\r\n", TrashInfo{"docs/a.txt", "2026-12-08T10:15:00"}},
        {"[Other]\nPath=/wrong\n[Trash Info]\nPath=/right\nPath=/second\n", TrashInfo{"/right", ""}},
        {"[Trash Info]\nDeletionDate=2026-12-08T10:15:00\n", std::nullopt}, // no path
        {"Path=/no/group\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parseTrashInfo(c.text), c.expected) << c.text;
}

// Any stored name (a newline, brackets, a percent sign, bytes that are not UTF-8) has a header
// of one line and comes back as it was.
TEST(TrashInfo, storesRoundTripWhateverTheNames) {
    TrashInfoStore store = {
        {".x_Report.pdf", {"/home/u/Report.pdf", "2026-12-08T10:15:00"}},
        {".x_two\nlines", {"/home/u/two%0Alines", "2026-12-08T10:16:00"}},
        {".x_[odd] 100%", {"/home/u/%5Bodd%5D%20100%25", ""}},
        {std::string(".x_\xff\xfe"), {"/home/u/%FF%FE", "2026-12-08T10:17:00"}},
        {".x_on a volume", {"Documents/on%20a%20volume", "2026-12-08T10:18:00"}},
    };
    const std::string text = formatTrashInfoStore(store);
    EXPECT_EQ(parseTrashInfoStore(text), store);
    for (char c : text)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "a raw byte " << int(static_cast<unsigned char>(c));
    EXPECT_EQ(originalPathOf(store, ".x_two\nlines", "/"), "/home/u/two\nlines");
    EXPECT_EQ(originalPathOf(store, ".x_on a volume", "/media/usb"), "/media/usb/Documents/on a volume");
    EXPECT_EQ(originalPathOf(store, std::string(".x_\xff\xfe"), "/"), std::string("/home/u/\xff\xfe"));
    EXPECT_FALSE(originalPathOf(store, ".x_unknown", "/"));
    EXPECT_TRUE(parseTrashInfoStore("not a store at all\n[unfinished").empty());
}

TEST(TrashInfo, theStoreOfADateFolderGrowsByMergingAndIsCapped) {
    TestDir dir;
    auto folder = sys::openDirectory(dir.path());
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(addToTrashInfoStore(folder->get(), dir.path(), {{".x_a", {"/a", "d1"}}}).ok());
    ASSERT_TRUE(addToTrashInfoStore(folder->get(), dir.path(), {{".x_b", {"/b", "d2"}}, {".x_a", {"/a2", "d3"}}}).ok());
    TrashInfoStore read = readTrashInfoStore(folder->get());
    EXPECT_EQ(read, (TrashInfoStore{{".x_a", {"/a2", "d3"}}, {".x_b", {"/b", "d2"}}}));
    EXPECT_EQ(quillet::test::listNames(dir.path()), std::vector<std::string>{".quillet-trashinfo"});
    const std::string huge(kMaxTrashInfoStoreBytes, 'p');
    EXPECT_EQ(addToTrashInfoStore(folder->get(), dir.path(), {{".x_c", {huge, ""}}}).code(), EFBIG);
    EXPECT_EQ(readTrashInfoStore(folder->get()), read) << "a refused write changed the store";
}

TEST(TrashInfo, percentEncodingCoversEveryByteOutsidePrintableAscii) {
    EXPECT_EQ(percentEncode("a b%c\n\xff", "%"), "a%20b%25c%0A%FF");
    EXPECT_EQ(percentDecode("a%20b%25c%0A%FF"), "a b%c\n\xff");
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("%zz%4"), "%zz%4");
}
