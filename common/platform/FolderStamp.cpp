#include "platform/FolderStamp.h"

#include "platform/System.h"

namespace quillet::sys {
namespace {

bool sameTime(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool earlier(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

} // namespace

FolderStamp FolderStamp::of(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_mtim, st.st_ctim, realtimeNow()};
}

bool FolderStamp::sameState(const FolderStamp &other) const {
    return device == other.device && inode == other.inode && sameTime(modified, other.modified) &&
           sameTime(changed, other.changed);
}

bool FolderStamp::settled() const {
    timespec modifiedPlusOne = modified;
    modifiedPlusOne.tv_sec += 1;
    return earlier(modifiedPlusOne, takenAt);
}

} // namespace quillet::sys
