#include "browser/BrowserItem.h"

#include "support/DateText.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "platform/TrustedFolder.h"
#include "support/ZRAppUtils.h"
#include "platform/System.h"

namespace quillet {

std::string_view BrowserItem::displayName() const {
    if (itemRepresentationName)
        return *itemRepresentationName;
    if (itemName)
        return *itemName;
    return {};
}

namespace {

constexpr uint64_t rotateLeft(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// The final mix of MurmurHash3's 64-bit variant: every bit of the input moves about half the
// bits of the output.
constexpr uint64_t finalMix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return value;
}

} // namespace

RowId rowIdOf(std::string_view path) {
    // Eight bytes at a time, each word mixed in with a multiplication and a rotation, the length
    // and the last bytes folded in at the end: paths that share long prefixes (every path of a
    // folder does) still spread over the whole range.
    constexpr uint64_t k1 = 0x87c37b91114253d5ULL;
    constexpr uint64_t k2 = 0x4cf5ad432745937fULL;
    uint64_t hash = 0x9e3779b97f4a7c15ULL;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= path.size(); i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, path.data() + i, sizeof word);
        hash ^= rotateLeft(word * k1, 31) * k2;
        hash = rotateLeft(hash, 27) * 5 + 0x52dce729;
    }
    uint64_t tail = 0;
    for (size_t shift = 0; i < path.size(); ++i, shift += 8)
        tail |= uint64_t{static_cast<unsigned char>(path[i])} << shift;
    hash ^= rotateLeft(tail * k1, 31) * k2;
    hash ^= path.size();
    const RowId id = finalMix(hash);
    return id == 0 ? 1 : id; // 0 stands for no row
}

const RowSnapshot &noRows() {
    static const RowSnapshot empty = std::make_shared<const std::vector<BrowserItem>>();
    return empty;
}

std::string modificationDateDescription(time_t date) {
    auto fields = sys::localTime(date);
    const struct tm local = fields ? *fields : tm{};
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return std::string(text, length);
}

std::optional<time_t> dateFromModificationDescription(std::string_view text) {
    auto fields = readDate(text, kModificationDateLayout);
    return fields ? std::optional<time_t>(momentOf(*fields)) : std::nullopt;
}

namespace {

void setModification(BrowserItem &item, const struct stat &st) {
    item.modificationTime = st.st_mtim.tv_sec;
    item.modificationDate = modificationDateDescription(st.st_mtim.tv_sec);
}

} // namespace

BrowserItem makeDayRow(const std::string &cachePath, std::string_view name, const struct stat &st,
                       FolderSize folderSize) {
    BrowserItem item;
    item.pathToItem = sys::joinPath(cachePath, name);
    item.id = rowIdOf(item.pathToItem);
    if (auto date = dateFromFinderCompatibleDateDescription(name)) {
        std::string title = finderCompatibleDateDescription(*date);
        std::replace(title.begin(), title.end(), '_', ':');
        item.itemName = title;
        item.itemRepresentationName = std::move(title);
    } else {
        item.itemRepresentationName = std::string(name);
    }
    setModification(item, st);
    if (folderSize == FolderSize::Measure)
        item.size = ZRAppUtils().getFolderSize(item.pathToItem);
    item.isDirectory = true;
    return item;
}

BrowserItem makeEntryRow(const std::string &folderPath, std::string_view name, const struct stat &st,
                         RowOrigin origin) {
    BrowserItem item;
    item.pathToItem = sys::joinPath(folderPath, name);
    item.id = rowIdOf(item.pathToItem);
    std::string visible = setFileName(name, Visibility::Visible);
    if (origin == RowOrigin::SearchResult) {
        item.itemName = std::string(name);
        item.itemRepresentationName = std::move(visible);
    } else {
        item.itemName = visible;
        item.itemRepresentationName = std::move(visible);
    }
    setModification(item, st);
    bool folder = S_ISDIR(st.st_mode);
    // A child row shows the entry's own size; the other rows show what an item weighs, which
    // for a folder means walking it. Resource forks do not exist here, so a file's size is its
    // data size alone.
    if (folder && origin != RowOrigin::ChildRow)
        item.size = ZRAppUtils().getFolderSize(item.pathToItem);
    else
        item.size = static_cast<uint64_t>(st.st_size);
    item.isDirectory = folder && ZRAppUtils().isTrueFolder(item.pathToItem);
    return item;
}

BrowserItem makeListedChildRow(const std::string &folderPath, std::string_view name, mode_t kind) {
    BrowserItem item;
    item.pathToItem = sys::joinPath(folderPath, name);
    item.id = rowIdOf(item.pathToItem);
    item.itemName = setFileName(name, Visibility::Visible);
    item.itemRepresentationName = item.itemName;
    // A link is never a folder here: entries are looked at without following links.
    item.isDirectory = S_ISDIR(kind) && !ZRAppUtils::isPackageFolderName(std::string(name));
    item.attributesPending = true;
    return item;
}

std::optional<BrowserItem> makeEntryRow(int folderFd, const std::string &folderPath, std::string_view name,
                                        RowOrigin origin) {
    auto st = sys::statAt(folderFd, std::string(name), sys::FollowLinks::No);
    if (!st)
        return std::nullopt;
    return makeEntryRow(folderPath, name, *st, origin);
}

namespace {

// Below this many entries one thread reads them all: starting helpers would cost more.
constexpr size_t kEntriesPerChildReader = 2048;
constexpr unsigned kMaxChildReaders = 4;

} // namespace

std::vector<BrowserItem> makeChildRows(int folderFd, const std::string &parentPath,
                                       const std::vector<std::string> &names) {
    // Each row costs the fstatat of its entry, which is most of the time: a long listing is cut
    // into slices that a few threads (one per CPU, at most four) take in turn, each writing the
    // rows of its slice in place, so the rows keep the listing's order.
    std::vector<BrowserItem> rows(names.size());
    constexpr size_t kSlice = 512;
    std::atomic<size_t> next{0};
    auto read = [&] {
        for (size_t start = next.fetch_add(kSlice); start < names.size(); start = next.fetch_add(kSlice)) {
            const size_t end = std::min(names.size(), start + kSlice);
            for (size_t i = start; i < end; ++i) {
                // An entry gone since the listing keeps its place as an empty row.
                if (auto row = makeEntryRow(folderFd, parentPath, names[i], RowOrigin::ChildRow))
                    rows[i] = std::move(*row);
            }
        }
    };
    const size_t wanted = names.size() / kEntriesPerChildReader;
    const size_t cpus = std::max(1u, std::thread::hardware_concurrency());
    const unsigned readers =
        static_cast<unsigned>(std::min<size_t>({kMaxChildReaders, cpus, std::max<size_t>(1, wanted)}));
    {
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < readers; ++i)
            helpers.emplace_back(read);
        read();
    }
    return rows;
}

CachedEntryRow cachedEntryRow(const std::vector<std::string> &caches, const std::string &path) {
    CachedEntryRow found;
    const std::string entryPath = sys::withoutTrailingSlashes(path);
    const std::string name = sys::lastPathComponent(entryPath);
    const std::string parent = sys::canonicalPath(sys::parentPath(entryPath));
    const auto cache = cacheFolderHolding(parent, caches);
    if (name.empty() || name == "." || name == ".." || name == "/" || !cache)
        return found;
    const std::string folder = cache->listed + parent.substr(cache->resolved.size());
    auto entry = openEntryInCache(caches, sys::joinPath(folder, name));
    if (!entry) {
        found.why = entry.status().message();
        return found;
    }
    auto st = sys::statAt(entry->folder.get(), name, sys::FollowLinks::No);
    if (!st) {
        found.why = sys::Status::failure(st.code(), "stat", sys::joinPath(folder, name)).message();
        return found;
    }
    if (folder == cache->listed && S_ISDIR(st->st_mode)) {
        if (sys::Status own = sys::checkOwnedFolder(*st, sys::joinPath(folder, name)); !own)
            found.why = own.reason();
        else
            found.row = makeDayRow(cache->listed, name, *st, FolderSize::Skip);
        return found;
    }
    found.row = makeEntryRow(folder, name, *st, RowOrigin::FlatRow);
    return found;
}

WholeSize selectionSize(uint64_t totalBytes) {
    constexpr uint64_t kKiB = 1024;
    constexpr uint64_t kMiB = kKiB * 1024;
    if (totalBytes > 2 * kMiB - 1)
        return {static_cast<int32_t>((totalBytes + 512) / kMiB), "MB"};
    if (totalBytes > 2047)
        return {static_cast<int32_t>((totalBytes + 512) / kKiB), "KB"};
    return {static_cast<int32_t>(totalBytes), "B"};
}

SelectionSummary summarizeSelection(size_t selectedRows, uint64_t totalBytes) {
    const WholeSize size = selectionSize(totalBytes);
    return SelectionSummary{static_cast<int32_t>(selectedRows), size.value, size.unit};
}

} // namespace quillet
