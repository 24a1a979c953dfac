#pragma once
// What a folder's own status says about its entries. Entries come and go only with a change
// of the folder's modification time, so a count of the entries stays true while the stamp is
// unchanged, provided the folder was last modified more than a second before the count: a
// later change then necessarily carries a later time, whatever the file system's clock
// granularity. Polling loops use this to skip re-reading large folders that did not change.

#include <sys/stat.h>

#include <ctime>

namespace quillet::sys {

struct FolderStamp {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified {};
    struct timespec changed {};
    struct timespec takenAt {};  ///< when the folder was looked at; zero: never

    /// The stamp of a folder whose status is st, taken now.
    static FolderStamp of(const struct stat &st);
    /// Same folder, same modification and change times.
    bool sameState(const FolderStamp &other) const;
    /// Taken more than a second after the folder's last modification: any later change of
    /// its entries will show as a different stamp.
    bool settled() const;
};

} // namespace quillet::sys
