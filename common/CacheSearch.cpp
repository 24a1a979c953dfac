#include "CacheSearch.h"

#include <dirent.h>

#include <algorithm>

#include "CacheLayout.h"
#include "ZRAppUtils.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"

namespace quillet {

namespace {

constexpr char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Walks the folder open as dirFd, depth first, each entry before its contents, as the browser
// lists results. Returns false once stop is seen so that every level unwinds at once.
bool walkFolder(int dirFd, const std::string &dirPath, const NameMatcher &matcher, const std::atomic<bool> &stop,
                const std::function<void(BrowserItem &&)> &onHit) {
    bool keepGoing = true;
    (void)sys::forEachEntry(dirFd, [&](std::string_view name, unsigned char type) {
        if (stop) {
            keepGoing = false;
            return false;
        }
        // The system's own work (a copy being assembled) is no item, and is not searched.
        if (isInternalName(name))
            return true;
        bool matched = matcher.matches(name);
        bool isFolder = type == DT_DIR;
        if (type == DT_UNKNOWN) {
            auto st = sys::statAt(dirFd, std::string(name), sys::FollowLinks::No);
            if (!st)
                return true; // vanished since the listing
            isFolder = S_ISDIR(st->st_mode);
        }
        // Paths are only built for the few entries that need them: hits and folders.
        if (matched) {
            if (auto row = makeEntryRow(dirFd, dirPath, name, RowOrigin::SearchResult))
                onHit(std::move(*row));
        }
        if (!isFolder)
            return true;
        std::string path = sys::joinPath(dirPath, name);
        if (!ZRAppUtils().isTrueFolder(path))
            return true; // a package: it can match, but its insides are not searched
        auto child = sys::openDirectoryAt(dirFd, std::string(name), sys::FollowLinks::No);
        if (!child)
            return true;
        if (!walkFolder(child->get(), path, matcher, stop, onHit)) {
            keepGoing = false;
            return false;
        }
        return true;
    });
    return keepGoing && !stop;
}

} // namespace

NameMatcher::NameMatcher(std::string_view needle) : _lowerNeedle(needle) {
    std::transform(_lowerNeedle.begin(), _lowerNeedle.end(), _lowerNeedle.begin(), asciiLower);
}

bool NameMatcher::matches(std::string_view name) const {
    const size_t needleSize = _lowerNeedle.size();
    if (needleSize == 0)
        return true;
    if (name.size() < needleSize)
        return false;
    const char first = _lowerNeedle[0];
    const char firstUpper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
    const size_t last = name.size() - needleSize;
    for (size_t start = 0; start <= last; ++start) {
        char c = name[start];
        if (c != first && c != firstUpper)
            continue;
        size_t i = 1;
        while (i < needleSize && asciiLower(name[start + i]) == _lowerNeedle[i])
            ++i;
        if (i == needleSize)
            return true;
    }
    return false;
}

void searchCaches(const std::vector<std::string> &cachesPath, std::string_view text, const std::atomic<bool> &stop,
                  const std::function<void(BrowserItem &&)> &onHit) {
    const NameMatcher matcher(text);
    for (const std::string &cachePath : cachesPath) {
        if (stop)
            return;
        // Never through a cache folder or a date folder that is a link or another account's.
        auto cache = sys::openOwnedFolder(cachePath);
        if (!cache)
            continue;
        std::vector<std::string> dateFolders;
        (void)sys::forEachEntry(cache->get(), [&](std::string_view name, unsigned char) {
            if (dateFromFinderCompatibleDateDescription(name))
                dateFolders.emplace_back(name);
            return true;
        });
        for (const std::string &name : dateFolders) {
            if (stop)
                return;
            auto folder = sys::openOwnedFolderAt(cache->get(), name);
            if (!folder)
                continue;
            if (!walkFolder(folder->get(), sys::joinPath(cachePath, name), matcher, stop, onHit))
                return;
        }
    }
}

CacheSearch::~CacheSearch() { stopAndWait(); }

void CacheSearch::stopAndWait() {
    _stopThread = true;
    if (_thread.joinable())
        _thread.join();
}

void CacheSearch::waitUntilFinished() {
    if (_thread.joinable())
        _thread.join();
}

uint64_t CacheSearch::start(const std::vector<std::string> &cachesPath, std::string text) {
    // A new search starts only once the previous thread is gone, so that no stale hit can reach
    // the emptied list.
    stopAndWait();
    _stopThread = false;
    _stringSearched = text;
    {
        std::lock_guard lock(_sharedArraylock);
        _sharedArray.clear();
    }
    uint64_t number = ++_searchNumber;
    _searchThreadRunning = true;
    _thread = std::thread(&CacheSearch::searchItemsThread, this, cachesPath, std::move(text), number);
    return number;
}

void CacheSearch::searchItemsThread(std::vector<std::string> cachesPath, std::string text, uint64_t searchNumber) {
    searchCaches(cachesPath, text, _stopThread, [this](BrowserItem &&item) {
        std::lock_guard lock(_sharedArraylock);
        if (!_stopThread)
            _sharedArray.push_back(std::move(item));
    });
    _searchThreadRunning = false;
    if (_finished)
        _finished(searchNumber);
}

std::optional<std::vector<BrowserItem>> CacheSearch::tryCopyResults() {
    std::unique_lock lock(_sharedArraylock, std::try_to_lock);
    if (!lock.owns_lock())
        return std::nullopt;
    return _sharedArray;
}

std::vector<BrowserItem> CacheSearch::copyResults() {
    std::lock_guard lock(_sharedArraylock);
    return _sharedArray;
}

} // namespace quillet
