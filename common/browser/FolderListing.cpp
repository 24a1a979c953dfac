#include "browser/FolderListing.h"

#include <sys/stat.h>

#include <algorithm>

#include "archive/CacheLayout.h"
#include "platform/System.h"
#include "support/ZRAppUtils.h"

namespace quillet {

namespace {

// What a folder's size may reserve for its names at most: the size of a listing's blocks is an
// estimate, and a hostile or odd one must not reserve gigabytes.
constexpr size_t kMaxReservedNameBytes = 16u << 20;
// The shortest a listing's record of one entry is on the common file systems (ext4: 8 bytes
// and the name rounded up to 4): a folder's size divided by it bounds the number of entries.
constexpr size_t kMinRecordBytes = 12;

} // namespace

FolderListing::FolderListing(std::string folderPath, size_t expectedNameBytes)
    : _folderPath(std::move(folderPath)), _pathBuffer(sys::joinPath(_folderPath, "")) {
    _prefixSize = _pathBuffer.size();
    // Reserved room that is never written costs no memory: only the pages touched are the
    // process's.
    const size_t names = std::min(expectedNameBytes, kMaxReservedNameBytes);
    _names.reserve(names);
    _entries.reserve(names / kMinRecordBytes);
}

void FolderListing::add(std::string_view name, mode_t kind) {
    _names.append(name);
    _pathBuffer.resize(_prefixSize);
    _pathBuffer.append(name);
    Entry entry{};
    entry.id = rowIdOf(_pathBuffer);
    entry.nameEnd = _names.size() & ((uint64_t{1} << 56) - 1); // a folder never lists 2^56 bytes of names
    entry.kind = (kind & S_IFMT) >> 12;
    // As makeListedChildRow decides it.
    entry.isDirectory = S_ISDIR(kind) && !ZRAppUtils::isPackageFolderName(std::string(name));
    _entries.push_back(entry);
}

std::string_view FolderListing::storedName(size_t i) const {
    const size_t start = i == 0 ? 0 : _entries[i - 1].nameEnd;
    return std::string_view(_names).substr(start, _entries[i].nameEnd - start);
}

std::string_view FolderListing::visibleName(size_t i) const {
    const std::string_view name = storedName(i);
    return hasHiddenPrefix(name) ? name.substr(kHiddenPrefix.size()) : name;
}

std::string FolderListing::path(size_t i) const { return sys::joinPath(_folderPath, storedName(i)); }

BrowserItem FolderListing::row(size_t i) const {
    return makeListedChildRow(_folderPath, storedName(i), static_cast<mode_t>(_entries[i].kind) << 12);
}

std::vector<BrowserItem> FolderListing::rows() const {
    std::vector<BrowserItem> made;
    made.reserve(size());
    for (size_t i = 0; i < size(); ++i)
        made.push_back(row(i));
    return made;
}

} // namespace quillet
