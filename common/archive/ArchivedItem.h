#pragma once
// The in-memory archive index of a trash folder: one record per archived trash entry, in
// archiving order. Record lengths are those of the historical 32-bit layout (24 bytes of
// fixed fields plus the name and its zero for an item, 20 bytes plus the items for the index)
// and are stored in the index file as computed here.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

/// Modification time as the index file stores it: seconds, then nanoseconds.
struct ModificationTime {
    uint32_t seconds = 0;
    uint32_t nanoseconds = 0;
};

struct ArchivedItem {
    uint64_t recordLength = 0;   ///< name bytes + 25
    ModificationTime modificationTime;
    int64_t itemSize = 0;        ///< size the file system reports for the item itself
    std::string name;            ///< last path component in hidden form (indexHiddenName)
};

struct ArchiveStruct {
    uint64_t recordLength = 20;  ///< 20 + sum of item record lengths
    uint64_t itemCount = 0;
    std::vector<ArchivedItem> items;
};

inline constexpr uint64_t kArchiveItemFixedLength = 25;
inline constexpr uint64_t kArchiveStructFixedLength = 20;

uint64_t archiveItemStructSize(const ArchivedItem &item);
void archiveItemStructCopy(ArchivedItem *destination, const ArchivedItem *source);
/// Same name (byte-wise), same size and same modification second; nanoseconds are ignored.
bool archivedItemCompare(const ArchivedItem *a, const ArchivedItem *b);
/// Record of the item at path: status with links followed; a dangling link is described by
/// the link itself so that it is archived once, not at every scan. Nothing when the path has
/// gone.
std::optional<ArchivedItem> buildArchivedItem(const std::string &path);
/// The same for the entry name of the open folder folderFd.
std::optional<ArchivedItem> buildArchivedItemAt(int folderFd, const std::string &name);
/// The same, given the entry's own status (links not followed) as just read: only a link is
/// looked at again, through to what it points to.
std::optional<ArchivedItem> buildArchivedItemAt(int folderFd, const std::string &name, const struct stat &entry);
/// The record of the entry name whose status is st.
ArchivedItem archivedItemOf(const std::string &name, const struct stat &st);
/// 20 + sum of item record lengths; 0 for no index.
uint64_t archiveStructSize(const ArchiveStruct *index);
void archiveStructCopy(ArchiveStruct *destination, const ArchiveStruct *source);
void emptyArchive(ArchiveStruct *index);
void removeItemFromArchive(size_t position, ArchiveStruct *index);
/// Appends a record, keeping the count and record length in step.
void appendItemToArchive(ArchivedItem item, ArchiveStruct *index);

/// Hashable identity of a record: the fields archivedItemCompare looks at.
struct ArchivedItemKey {
    std::string name;
    int64_t itemSize;
    uint32_t seconds;
    bool operator==(const ArchivedItemKey &) const = default;
};
struct ArchivedItemKeyHash {
    size_t operator()(const ArchivedItemKey &key) const noexcept;
};
ArchivedItemKey keyOf(const ArchivedItem &item);

} // namespace quillet
