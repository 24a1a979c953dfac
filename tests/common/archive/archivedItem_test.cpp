#include "archive/ArchivedItem.h"

#include "ArchiveRecords.h"
#include "TestDir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillet;
using quillet::test::record;
using quillet::test::TestDir;

namespace {

void setModificationTime(const std::string &path, time_t seconds, long nanoseconds, bool follow = true) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW), 0) << path;
}

} // namespace

TEST(ArchivedItemRecords, lengthsFollowTheThirtyTwoBitLayout) {
    ArchiveStruct index;
    EXPECT_EQ(archiveStructSize(&index), 20u);
    EXPECT_EQ(archiveStructSize(nullptr), 0u);
    appendItemToArchive(record(".x_a", 1, 1), &index);
    EXPECT_EQ(index.items[0].recordLength, 29u);
    EXPECT_EQ(index.recordLength, 49u);
    EXPECT_EQ(archiveStructSize(&index), 49u);
    appendItemToArchive(record(".x_Report.pdf", 1, 1), &index);
    EXPECT_EQ(index.itemCount, 2u);
    EXPECT_EQ(index.recordLength, 49u + 13 + 25);
    // UTF-8 bytes count, not characters.
    EXPECT_EQ(archiveItemStructSize(record(".x_\xc3\xa9", 0, 0)), 3u + 2 + 25);
}

TEST(ArchivedItemRecords, equalityIgnoresNanosecondsOnly) {
    ArchivedItem base = record(".x_a", 10, 100, 5);
    ArchivedItem otherNanos = record(".x_a", 10, 100, 999);
    EXPECT_TRUE(archivedItemCompare(&base, &otherNanos));
    ArchivedItem otherSecond = record(".x_a", 10, 101, 5);
    ArchivedItem otherSize = record(".x_a", 11, 100, 5);
    ArchivedItem otherName = record(".x_A", 10, 100, 5);
    EXPECT_FALSE(archivedItemCompare(&base, &otherSecond));
    EXPECT_FALSE(archivedItemCompare(&base, &otherSize));
    EXPECT_FALSE(archivedItemCompare(&base, &otherName));
    EXPECT_FALSE(archivedItemCompare(&base, nullptr));
    EXPECT_FALSE(archivedItemCompare(nullptr, nullptr));
    EXPECT_TRUE(keyOf(base) == keyOf(otherNanos));
    EXPECT_EQ(ArchivedItemKeyHash{}(keyOf(base)), ArchivedItemKeyHash{}(keyOf(otherNanos)));
}

TEST(ArchivedItemRecords, removeKeepsOrderAndRecomputesLength) {
    ArchiveStruct index;
    for (const char *name : {".x_a", ".x_bb", ".x_ccc"})
        appendItemToArchive(record(name, 1, 1), &index);
    removeItemFromArchive(1, &index);
    ASSERT_EQ(index.itemCount, 2u);
    EXPECT_EQ(index.items[0].name, ".x_a");
    EXPECT_EQ(index.items[1].name, ".x_ccc");
    EXPECT_EQ(index.recordLength, 20u + 29 + 31);
    removeItemFromArchive(7, &index); // out of range: nothing happens
    EXPECT_EQ(index.itemCount, 2u);

    ArchiveStruct copy;
    archiveStructCopy(&copy, &index);
    emptyArchive(&index);
    EXPECT_EQ(index.itemCount, 0u);
    EXPECT_TRUE(index.items.empty());
    EXPECT_EQ(index.recordLength, 20u);
    ASSERT_EQ(copy.itemCount, 2u); // deep copy survives
    EXPECT_EQ(copy.items[1].name, ".x_ccc");

    ArchiveStruct empty;
    removeItemFromArchive(0, &empty);
    EXPECT_EQ(empty.itemCount, 0u);

    ArchivedItem target;
    archiveItemStructCopy(&target, &copy.items[0]);
    EXPECT_TRUE(archivedItemCompare(&target, &copy.items[0]));
    archiveItemStructCopy(nullptr, &copy.items[0]);
    archiveItemStructCopy(&target, nullptr);
}

TEST(ArchivedItemRecords, trashEntryAndItsArchivedCopyHaveEqualRecords) {
    TestDir dir;
    std::string trashed = dir.writeFile("Trash/Report.pdf", "twelve bytes");
    std::string archived = dir.writeFile("cache/d/.x_Report.pdf", "twelve bytes");
    setModificationTime(trashed, 1205505720, 100);
    setModificationTime(archived, 1205505720, 900);
    auto a = buildArchivedItem(trashed);
    auto b = buildArchivedItem(archived);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->name, ".x_Report.pdf");
    EXPECT_EQ(b->name, ".x_Report.pdf");
    EXPECT_EQ(a->itemSize, 12);
    EXPECT_EQ(a->modificationTime.seconds, 1205505720u);
    EXPECT_EQ(a->modificationTime.nanoseconds, 100u);
    EXPECT_EQ(a->recordLength, 13u + 25);
    EXPECT_TRUE(archivedItemCompare(&*a, &*b));
}

TEST(ArchivedItemRecords, linksAreFollowedAndDanglingLinksDescribeThemselves) {
    TestDir dir;
    std::string target = dir.writeFile("target", "0123456789");
    setModificationTime(target, 1000000000, 0);
    std::string link = dir / "link";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    auto followed = buildArchivedItem(link);
    ASSERT_TRUE(followed);
    EXPECT_EQ(followed->itemSize, 10);
    EXPECT_EQ(followed->modificationTime.seconds, 1000000000u);
    EXPECT_EQ(followed->name, ".x_link");

    std::string dangling = dir / "dangling";
    ASSERT_EQ(::symlink("nowhere/at/all", dangling.c_str()), 0);
    setModificationTime(dangling, 1100000000, 0, false);
    auto own = buildArchivedItem(dangling);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->itemSize, static_cast<int64_t>(std::string("nowhere/at/all").size()));
    EXPECT_EQ(own->modificationTime.seconds, 1100000000u);

    EXPECT_FALSE(buildArchivedItem(dir / "missing"));
}
