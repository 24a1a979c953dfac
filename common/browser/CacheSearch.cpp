#include "browser/CacheSearch.h"

#include <algorithm>

#include <dirent.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "archive/CacheLayout.h"
#include "support/ZRAppUtils.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"

namespace quillet {

namespace {

constexpr char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void appendAsciiLowered(std::string_view name, std::string &folded) {
    const size_t start = folded.size();
    folded.resize(start + name.size());
    char *out = folded.data() + start;
    for (char c : name)
        *out++ = asciiLower(c);
}

// ICU copies every byte that is no part of a well-formed UTF-8 sequence (a stray continuation
// byte, a truncated sequence, an overlong form, an encoded surrogate) to its output unchanged
// and goes on with the next byte, which is what a name that is not UTF-8 needs: its valid
// characters fold, the rest compares as bytes.
void appendUnicodeFolded(std::string_view name, std::string &folded) {
    const size_t start = folded.size();
    if (name.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        UErrorCode error = U_ZERO_ERROR;
        icu::StringByteSink<std::string> sink(&folded);
        icu::CaseMap::utf8Fold(U_FOLD_CASE_DEFAULT, icu::StringPiece(name.data(), static_cast<int32_t>(name.size())),
                               sink, nullptr, error);
        if (U_SUCCESS(error))
            return;
    }
    // ICU has no reason to refuse a name; should it, the ASCII letters at least still fold.
    folded.resize(start);
    appendAsciiLowered(name, folded);
}

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

bool isAsciiName(std::string_view name) {
    // Eight bytes at a time: this runs on every name a search or a sort meets.
    uint64_t seen = 0;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= name.size(); i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, name.data() + i, sizeof word);
        seen |= word;
    }
    for (; i < name.size(); ++i)
        seen |= static_cast<unsigned char>(name[i]);
    return (seen & 0x8080808080808080ULL) == 0;
}

void appendFoldedName(std::string_view name, std::string &folded) {
    if (isAsciiName(name))
        appendAsciiLowered(name, folded);
    else
        appendUnicodeFolded(name, folded);
}

std::string foldedName(std::string_view name) {
    std::string folded;
    appendFoldedName(name, folded);
    return folded;
}

NameMatcher::NameMatcher(std::string_view needle) : _foldedNeedle(foldedName(needle)) {
    _asciiNeedle = isAsciiName(_foldedNeedle);
}

bool NameMatcher::matchesAscii(std::string_view name) const {
    const size_t needleSize = _foldedNeedle.size();
    if (name.size() < needleSize)
        return false;
    const char first = _foldedNeedle[0];
    const char firstUpper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
    const size_t last = name.size() - needleSize;
    for (size_t start = 0; start <= last; ++start) {
        char c = name[start];
        if (c != first && c != firstUpper)
            continue;
        size_t i = 1;
        while (i < needleSize && asciiLower(name[start + i]) == _foldedNeedle[i])
            ++i;
        if (i == needleSize)
            return true;
    }
    return false;
}

bool NameMatcher::matches(std::string_view name) const {
    if (_foldedNeedle.empty())
        return true;
    // Folding maps ASCII to ASCII (A-Z to a-z, nothing else changes) and leaves the characters
    // around each one alone, so an ASCII needle found in the name with A-Z lowered is in its
    // folding too, and the folding of an ASCII name is that name lowered. Only names outside
    // ASCII, which are few, are folded in full: "ss" is in "Straße" only once it is "strasse".
    if (_asciiNeedle) {
        if (matchesAscii(name))
            return true;
        if (isAsciiName(name))
            return false;
    } else if (isAsciiName(name)) {
        return false; // the needle's folding has bytes above 0x7f that an ASCII name cannot hold
    }
    // The folding may be longer or shorter than the name ("ß" to "ss", the Kelvin sign to "k"),
    // so no length test comes first. One buffer per thread: no allocation per name.
    thread_local std::string folded;
    folded.clear();
    appendUnicodeFolded(name, folded);
    return folded.find(_foldedNeedle) != std::string::npos;
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
        std::vector<std::pair<time_t, std::string>> dateFolders;
        (void)sys::forEachEntry(*cache, [&](std::string_view name, unsigned char) {
            if (auto date = dateFromFinderCompatibleDateDescription(name))
                dateFolders.emplace_back(*date, name);
            return true;
        });
        // The newest first: what the user looks for was most often trashed lately, and its hits
        // should be the first on screen.
        std::sort(dateFolders.begin(), dateFolders.end(), [](const auto &a, const auto &b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        for (const auto &[date, name] : dateFolders) {
            if (stop)
                return;
            auto folder = sys::openOwnedFolderAt(*cache, name);
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
        std::lock_guard snapshotLock(_snapshotLock);
        std::lock_guard lock(_sharedArraylock);
        _sharedArray.clear();
        _snapshot = std::make_shared<const std::vector<BrowserItem>>();
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

std::shared_ptr<const std::vector<BrowserItem>> CacheSearch::results() {
    std::lock_guard snapshotLock(_snapshotLock);
    if (!_snapshot)
        _snapshot = std::make_shared<const std::vector<BrowserItem>>();
    std::vector<BrowserItem> fresh;
    {
        // Held by the walk only while it appends one hit: an exchange of two lists here.
        std::lock_guard lock(_sharedArraylock);
        fresh.swap(_sharedArray);
    }
    if (fresh.empty())
        return _snapshot;
    auto next = std::make_shared<std::vector<BrowserItem>>();
    next->reserve(_snapshot->size() + fresh.size());
    next->insert(next->end(), _snapshot->begin(), _snapshot->end());
    std::move(fresh.begin(), fresh.end(), std::back_inserter(*next));
    _snapshot = std::move(next);
    return _snapshot;
}

} // namespace quillet
