#include "archive/NotArchived.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

using namespace quillet;

TEST(NotArchived, linesNameTheReasonAndThePathOnOneLineAndAreCountedByReasonSinceAMoment) {
    const time_t now = 1'796'000'000; // in December 2026
    const std::string hostile = std::string("/home/ann/.local/share/Trash/files/two\nlines\\and\ttab): (x") + '\x7f';
    std::string log = notArchivedLine(now - 10, kNotArchivedSizeLimit, "/trash/files/disk.iso");
    log += "quilletd: Error copying a file: No space left on device\n";
    log += notArchivedLine(now - 5, kNotArchivedSizeLimit, hostile);
    log += notArchivedLine(now, kNotArchivedFreeSpace, "/trash/files/Photos");
    log += notArchivedLine(now - 90'000, kNotArchivedCopyFailed, "/trash/files/old"); // a day before
    // Lines that only look alike count for nothing.
    log += "2026-13-40T99:00:00 quilletd: not archived (larger than the size limit): /x\n";
    log += "quilletd: not archived (larger than the size limit): /no-time\n";
    log += "2026-12-08T09:30:12 quilletd: not archived (): /no-reason\n";
    log += "2026-12-08T09:30:12 quilletd: not archived (half"; // cut by the end of a read

    const std::string hostileLine = notArchivedLine(now, kNotArchivedSizeLimit, hostile);
    EXPECT_EQ(std::count(hostileLine.begin(), hostileLine.end(), '\n'), 1) << hostileLine;
    EXPECT_NE(hostileLine.find("two\\nlines\\\\and\\ttab): (x\\177\n"), std::string::npos) << hostileLine;
    EXPECT_EQ(hostileLine.find("quilletd: not archived (larger than the size limit): /home/ann/"), 20u) << hostileLine;

    NotArchivedSummary lately = summarizeNotArchived(log, now - 24 * 3600);
    EXPECT_EQ(lately.count, 3u);
    EXPECT_EQ(lately.byReason, (std::map<std::string, size_t>{{std::string(kNotArchivedSizeLimit), 2},
                                                                {std::string(kNotArchivedFreeSpace), 1}}));
    NotArchivedSummary all = summarizeNotArchived(log, 0);
    EXPECT_EQ(all.count, 4u);
    EXPECT_EQ(all.byReason[std::string(kNotArchivedCopyFailed)], 1u);
    EXPECT_EQ(summarizeNotArchived(log, now + 1).count, 0u);
    EXPECT_EQ(summarizeNotArchived("", 0).count, 0u);
}
