#include "archive/ArchivedItem.h"

#include <fcntl.h>

#include "archive/CacheLayout.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <functional>

namespace quillet {

uint64_t archiveItemStructSize(const ArchivedItem &item) {
    return item.name.size() + kArchiveItemFixedLength;
}

void archiveItemStructCopy(ArchivedItem *destination, const ArchivedItem *source) {
    if (!destination || !source)
        return;
    *destination = *source;
}

bool archivedItemCompare(const ArchivedItem *a, const ArchivedItem *b) {
    if (!a || !b)
        return false;
    return a->name == b->name && a->itemSize == b->itemSize &&
           a->modificationTime.seconds == b->modificationTime.seconds;
}

std::optional<ArchivedItem> buildArchivedItem(const std::string &path) {
    return buildArchivedItemAt(AT_FDCWD, path);
}

std::optional<ArchivedItem> buildArchivedItemAt(int folderFd, const std::string &name) {
    auto st = sys::statAt(folderFd, name, sys::FollowLinks::Yes);
    if (!st) {
        // A dangling link still has a record of its own; without one it would look new at
        // every scan and be archived again and again.
        st = sys::statAt(folderFd, name, sys::FollowLinks::No);
        if (!st || !S_ISLNK(st->st_mode))
            return std::nullopt;
    }
    return archivedItemOf(name, *st);
}

std::optional<ArchivedItem> buildArchivedItemAt(int folderFd, const std::string &name, const struct stat &entry) {
    if (S_ISLNK(entry.st_mode))
        return buildArchivedItemAt(folderFd, name);
    return archivedItemOf(name, entry);
}

ArchivedItem archivedItemOf(const std::string &name, const struct stat &st) {
    ArchivedItem item;
    item.modificationTime.seconds = static_cast<uint32_t>(st.st_mtim.tv_sec);
    item.modificationTime.nanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    item.itemSize = static_cast<int64_t>(st.st_size);
    item.name = indexHiddenName(sys::lastPathComponent(name));
    item.recordLength = archiveItemStructSize(item);
    return item;
}

uint64_t archiveStructSize(const ArchiveStruct *index) {
    if (!index)
        return 0;
    uint64_t size = kArchiveStructFixedLength;
    for (const ArchivedItem &item : index->items)
        size += archiveItemStructSize(item);
    return size;
}

void archiveStructCopy(ArchiveStruct *destination, const ArchiveStruct *source) {
    if (!destination)
        return;
    if (!source) {
        emptyArchive(destination);
        return;
    }
    *destination = *source;
}

void emptyArchive(ArchiveStruct *index) {
    if (!index)
        return;
    index->items.clear();
    index->itemCount = 0;
    index->recordLength = kArchiveStructFixedLength;
}

void removeItemFromArchive(size_t position, ArchiveStruct *index) {
    if (!index || position >= index->items.size())
        return;
    index->items.erase(index->items.begin() + static_cast<std::ptrdiff_t>(position));
    index->itemCount = index->items.size();
    index->recordLength = archiveStructSize(index);
}

void appendItemToArchive(ArchivedItem item, ArchiveStruct *index) {
    if (!index)
        return;
    item.recordLength = archiveItemStructSize(item);
    index->recordLength += item.recordLength;
    index->items.push_back(std::move(item));
    index->itemCount = index->items.size();
}

size_t ArchivedItemKeyHash::operator()(const ArchivedItemKey &key) const noexcept {
    size_t hash = std::hash<std::string>{}(key.name);
    hash ^= std::hash<int64_t>{}(key.itemSize) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    hash ^= std::hash<uint32_t>{}(key.seconds) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    return hash;
}

ArchivedItemKey keyOf(const ArchivedItem &item) {
    return {item.name, item.itemSize, item.modificationTime.seconds};
}

} // namespace quillet
