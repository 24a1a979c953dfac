#pragma once
// The cache browser's search: every archived entry of every date folder of every cache folder,
// at any depth, whose stored name contains a text, compared without regard to case (Unicode's
// full case folding, which the browser's name sorting uses too). Packages (folders that
// ZRAppUtils::isTrueFolder rejects, such as applications) can match but are not entered. The
// walk runs on a thread of its own and hands its hits over, in the order found, to the browser,
// which takes what has been found so far whenever it likes without waiting for the walk.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "browser/BrowserItem.h"

namespace quillet {

/// True when every byte of name is ASCII (below 0x80): such a name folds by lowering A-Z alone.
bool isAsciiName(std::string_view name);

/// Appends to folded the full Unicode case folding of name, in UTF-8: the default (not Turkic)
/// mappings of Unicode's CaseFolding.txt, statuses C and F. "Été" folds to "été", "ß" to "ss",
/// "Σ" and the final "ς" to "σ", "İ" to "i̇" (i followed by U+0307, a combining dot above), "ı"
/// stays itself, "K" (the Kelvin sign) becomes "k". No normalization: a precomposed "é" and an
/// "e" followed by a combining acute accent stay apart. Names are bytes, not necessarily UTF-8:
/// bytes that are no part of a valid UTF-8 sequence are copied as they are, and the characters
/// around them are still folded. Never fails. A plain ASCII name costs one pass.
void appendFoldedName(std::string_view name, std::string &folded);
/// The full case folding of name, as appendFoldedName gives it.
std::string foldedName(std::string_view name);

/// Substring test that ignores case by Unicode's full case folding: name matches when the
/// folding of name contains the folding of the needle, byte for byte. So "été" is in
/// "Été à Paris.txt", "strasse" in "Straße", "ß" in "STRASSE" and "οδος" in "ΟΔΟΣ", but
/// "istanbul" is not in "İstanbul" (whose folding has a combining dot after the i). Bytes that
/// are not UTF-8 match only themselves. Plain ASCII names are compared without copying them.
class NameMatcher {
public:
    explicit NameMatcher(std::string_view needle);
    /// True when name contains the needle; an empty needle is in every name.
    bool matches(std::string_view name) const;

private:
    bool matchesAscii(std::string_view name) const;

    std::string _foldedNeedle;
    /// The folded needle is plain ASCII (an ASCII needle, but also "ß" or the Kelvin sign).
    bool _asciiNeedle = true;
};

/// Walks the caches for names containing text, calling onHit with each search result (origin
/// SearchResult) in the order found. Only folders at the root of a cache folder whose names are
/// date-folder names are walked, the newest first. Returns as soon as stop is set, checked before every entry.
/// Unreadable folders and entries that vanish during the walk contribute nothing.
void searchCaches(const std::vector<std::string> &cachesPath, std::string_view text, const std::atomic<bool> &stop,
                  const std::function<void(BrowserItem &&)> &onHit);

/// One search at a time on a thread of its own, with the result list it shares with the
/// browser. The walk appends each hit to a list of new hits under a lock held for that append
/// alone; a reader takes the new hits out under the same lock (an exchange of two lists, never
/// a wait for the walk's work) and publishes everything found so far as a new immutable
/// snapshot, which it and the other readers share without copying.
class CacheSearch {
public:
    /// Called on the search thread when a walk ends, stopped or not, with the number start()
    /// answered for it. The front end hands it to its main thread.
    using FinishedCallback = std::function<void(uint64_t searchNumber)>;

    CacheSearch() = default;
    /// Stops a running walk and waits for its thread.
    ~CacheSearch();
    CacheSearch(const CacheSearch &) = delete;
    CacheSearch &operator=(const CacheSearch &) = delete;

    void setFinishedCallback(FinishedCallback callback) { _finished = std::move(callback); }

    /// Stops a running walk and waits for its thread to end, empties the result list and starts
    /// a new walk for text. Answers the new search's number (1, 2, ...).
    uint64_t start(const std::vector<std::string> &cachesPath, std::string text);
    /// Asks the running walk to stop before its next entry; returns at once.
    void requestStop() { _stopThread = true; }
    /// Asks the running walk to stop and waits until its thread has ended.
    void stopAndWait();
    /// Waits until the running walk ends by itself.
    void waitUntilFinished();

    bool stopRequested() const { return _stopThread; }
    bool searchThreadRunning() const { return _searchThreadRunning; }
    /// Number of the latest search started, 0 before the first.
    uint64_t currentSearchNumber() const { return _searchNumber; }
    const std::string &stringSearched() const { return _stringSearched; }

    /// The results found so far, in the order found, as an immutable list: the last one
    /// published, with the hits found since added. Never sleeps; a snapshot once handed out
    /// never changes.
    std::shared_ptr<const std::vector<BrowserItem>> results();
    /// A copy of the results found so far.
    std::vector<BrowserItem> copyResults() { return *results(); }

private:
    void searchItemsThread(std::vector<std::string> cachesPath, std::string text, uint64_t searchNumber);

    std::atomic<bool> _searchThreadRunning{false};
    std::atomic<bool> _stopThread{false};
    std::string _stringSearched;
    /// Hits not yet taken by a reader, appended by the walk under _sharedArraylock.
    std::vector<BrowserItem> _sharedArray;
    std::mutex _sharedArraylock;
    /// Everything taken so far, published by the readers (one at a time, under _snapshotLock).
    std::shared_ptr<const std::vector<BrowserItem>> _snapshot;
    std::mutex _snapshotLock;
    std::thread _thread;
    uint64_t _searchNumber = 0;
    FinishedCallback _finished;
};

} // namespace quillet
