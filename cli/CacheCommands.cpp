// quilletctl recover and empty: the commands that take items out of the cache or delete them.
// Items are named by the paths list and search show; anything that does not lie inside one of
// this user's cache folders is refused before any work starts.

#include "CacheEmptying.h"
#include "CacheFolders.h"
#include "CacheLayout.h"
#include "CacheRecovery.h"
#include "CommandSupport.h"
#include "ProtectionControl.h"
#include "RunningWorkers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <istream>
#include <map>
#include <ostream>

namespace quillet::cli {

const char *const kRecoverHelp =
    "Usage: quilletctl recover ITEM... --to FOLDER\n"
    "Copies cached items into FOLDER under their visible names; ITEM is a path as list and search\n"
    "show it (escaped, as --json decodes it, or as its bytes), a day row's path recovers the whole\n"
    "day into a folder named after its date. FOLDER is created when missing (its parent must exist).\n"
    "Nothing in FOLDER is ever replaced: a file already there fails, a folder is merged into a folder\n"
    "of the same name, adding what it lacks. Every item not recovered is named with the reason, and\n"
    "the exit status is then 1. Recovered folders keep their times, modes and extended attributes.\n";

const char *const kEmptyHelp =
    "Usage: quilletctl empty --all [--yes]\n"
    "       quilletctl empty ITEM... [--yes]\n"
    "Deletes cached items for good: everything in every cache folder (--all), or the items given\n"
    "(paths as list and search show them; a day row's path deletes the day). Running protection is\n"
    "stopped meanwhile and started again afterwards. Asks for confirmation on a terminal; elsewhere\n"
    "--yes is required. The count given is of archived items (a day counts its items).\n";

namespace {

using namespace std::chrono_literals;

constexpr auto kProgressInterval = 250ms;

/// A one-line progress bar on a terminal; draws nothing elsewhere.
class ProgressBar {
public:
    ProgressBar(std::ostream &err, bool enabled, std::string label)
        : _err(err), _enabled(enabled), _label(std::move(label)) {}
    ~ProgressBar() { finish(); }

    void show(double percent, const std::string &detail) {
        if (!_enabled)
            return;
        constexpr int kWidth = 30;
        percent = std::clamp(percent, 0.0, 100.0);
        const auto filled = static_cast<int>(std::lround(percent * kWidth / 100.0));
        _err << "\r" << _label << " [" << std::string(static_cast<size_t>(filled), '#')
             << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << std::lround(percent) << "% "
             << detail << "\033[K" << std::flush;
        _drawn = true;
    }
    void finish() {
        if (_drawn)
            _err << "\r\033[K" << std::flush;
        _drawn = false;
    }

private:
    std::ostream &_err;
    bool _enabled;
    std::string _label;
    bool _drawn = false;
};

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

/// The path an ITEM argument names. Paths come as list and search print them, escaped
/// (escapedText), or as a script decoded them from --json: the argument is taken as it is when
/// something is there, else as the escaped text or the decoded JSON it reads as. The two
/// readings never both apply: an escaped text is well-formed UTF-8, and the surrogates of a
/// decoded path never are.
std::string itemPath(const std::string &argument) {
    if (sys::exists(argument))
        return argument;
    for (const std::optional<std::string> &reading : {unescapedText(argument), surrogateEscapesDecoded(argument)})
        if (reading && sys::exists(*reading))
            return *reading;
    return argument;
}

/// An argument (or a message about it) on one line: as typed when it already reads as escaped
/// text, so that a path given as list printed it is shown the same; else escaped.
std::string shownAsTyped(const std::string &text) { return unescapedText(text) ? text : escapedText(text); }

/// The browser row of the cached item named by argument, or the reason it is not one.
std::optional<BrowserItem> cachedItem(const std::string &argument, const std::vector<std::string> &caches,
                                      std::string &why) {
    CachedEntryRow found = cachedEntryRow(caches, itemPath(argument));
    if (!found.row)
        why = found.why.empty() ? "not an item of a cache folder (give a path as list or search show it)" : found.why;
    return found.row;
}

} // namespace

/// The rows of every argument, or nothing after naming each one that is not a cached item.
std::optional<std::vector<BrowserItem>> cachedItems(const std::vector<std::string> &arguments,
                                                    const std::vector<std::string> &caches, std::ostream &err) {
    std::vector<BrowserItem> rows;
    bool allFound = true;
    for (const std::string &argument : arguments) {
        std::string why;
        if (auto row = cachedItem(argument, caches, why)) {
            rows.push_back(std::move(*row));
        } else {
            err << "quilletctl: " << shownAsTyped(argument) << ": " << shownAsTyped(why) << "\n";
            allFound = false;
        }
    }
    if (!allFound)
        return std::nullopt;
    return rows;
}

namespace {

/// Runs loop until every worker has ended, drawing the bar meanwhile.
template <typename Worker>
void waitForWorkers(PollingRunLoop &loop, const RunningWorkers<Worker> &workers, ProgressBar &bar,
                    const std::string &detail) {
    if (workers.empty())
        return;
    loop.scheduleRepeating(kProgressInterval, [&] {
        const size_t left = workers.count();
        bar.show(workers.meanProgress(), std::to_string(left) + (left == 1 ? " " : "s ") + detail);
        return left > 0;
    });
    while (!loop.runUntil([&] { return workers.empty(); }, 1h)) {
    }
    // The bar's timer stops at its next tick; it must not outlive this call's references.
    (void)loop.runUntil([&] { return loop.timerCount() == 0; }, 1s);
    bar.finish();
}

} // namespace

int recover(const Options &options, std::ostream &out, std::ostream &err) {
    std::string destination;
    for (size_t i = 0; i < options.other.size(); ++i) {
        if (options.other[i] == "--to" && i + 1 < options.other.size() && destination.empty())
            destination = options.other[++i];
        else
            return usageError(err, "recover: unexpected argument \"" + options.other[i] + "\"", kRecoverHelp);
    }
    if (destination.empty())
        return usageError(err, "recover: give the folder to recover into with --to FOLDER", kRecoverHelp);
    if (options.positional.empty())
        return usageError(err, "recover: give at least one ITEM", kRecoverHelp);

    const std::vector<std::string> caches = mountedCachesPaths();
    auto rows = cachedItems(options.positional, caches, err);
    if (!rows)
        return kExitFailure;

    // The destination: a folder, or a name to create in an existing folder, outside the cache.
    const std::string shownDestination = escapedText(destination);
    const auto destinationStat = sys::stat(destination, sys::FollowLinks::Yes);
    if (destinationStat && !S_ISDIR(destinationStat->st_mode)) {
        err << "quilletctl: " << shownDestination << ": not a folder\n";
        return kExitFailure;
    } else if (!destinationStat && !sys::stat(sys::parentPath(withoutTrailingSlashes(destination)), sys::FollowLinks::Yes)) {
        err << "quilletctl: " << shownDestination << ": its parent folder does not exist\n";
        return kExitFailure;
    }
    const std::string where = sys::exists(destination)
                                  ? sys::canonicalPath(destination)
                                  : sys::canonicalPath(sys::parentPath(withoutTrailingSlashes(destination)));
    if (auto cache = cacheFolderHolding(where, caches)) {
        err << "quilletctl: " << shownDestination << ": inside the cache folder " << escapedText(cache->listed)
            << "; recover into a folder outside it\n";
        return kExitFailure;
    }
    // Made here, so that a folder that cannot be made is one message, not one per item.
    if (!destinationStat) {
        if (sys::Status made = sys::mkdir(destination, 0777); !made) {
            err << "quilletctl: " << shownDestination << ": cannot make the folder: " << made.reason() << "\n";
            return kExitFailure;
        }
    }

    NotificationCenter center;
    PollingRunLoop loop;
    RunningWorkers<CopyFileUtil> workers(center);
    CacheRecovery recovery(loop, center);
    // Every failure is reported below, once, naming the item and the reason.
    recovery.setFailureLog(FailureLog::None);
    int failures = 0;
    recovery.setWorkerStartingCallback([&](const std::shared_ptr<CopyFileUtil> &worker) { workers.add(worker); });
    recovery.setFileCopiedCallback([&](const RecoveredItem &item) {
        if (item.status) {
            out << "Recovered " << escapedText(item.source) << " as " << escapedText(item.target) << "\n";
        } else {
            err << "quilletctl: cannot recover " << escapedText(item.source) << ": " << escapedText(item.status.message())
                << "\n";
            ++failures;
        }
    });
    std::vector<RecoveredItem> items = recovery.recoverItems(*rows, destination);

    ProgressBar bar(err, options.console.interactive, "Recovering");
    waitForWorkers(loop, workers, bar, "folder");
    const auto failedWorkers = workers.failed();
    for (const RecoveredItem &item : items) {
        if (!item.isFolder)
            continue;
        const bool workerFailed = std::any_of(failedWorkers.begin(), failedWorkers.end(),
                                              [&](const auto &worker) { return worker == item.worker; });
        if (!item.status || workerFailed) {
            err << "quilletctl: cannot recover " << escapedText(item.source) << ": "
                << (item.status ? "the folder is no longer in the cache" : escapedText(item.status.message())) << "\n";
            ++failures;
            continue;
        }
        // What the folder's copy left out, each entry with its reason; the rest is recovered.
        const std::vector<CopyFailure> leftOut = item.worker->failures();
        for (const CopyFailure &failure : leftOut)
            err << "quilletctl: cannot recover " << escapedText(failure.source) << ": "
                << escapedText(failure.status.message()) << "\n";
        out << "Recovered " << escapedText(item.source) << " as " << escapedText(item.target);
        if (leftOut.empty()) {
            out << "\n";
        } else {
            out << " but for " << leftOut.size() << (leftOut.size() == 1 ? " item\n" : " items\n");
            ++failures;
        }
    }
    return failures == 0 ? kExitSuccess : kExitFailure;
}

int empty(const Options &options, std::ostream &out, std::ostream &err) {
    bool all = false;
    bool confirmed = false;
    for (const std::string &arg : options.other) {
        if (arg == "--all")
            all = true;
        else if (arg == "--yes" || arg == "-y")
            confirmed = true;
        else
            return usageError(err, "empty: unexpected argument \"" + arg + "\"", kEmptyHelp);
    }
    if (all == !options.positional.empty())
        return usageError(err, "empty: give either --all or the ITEMs to delete", kEmptyHelp);

    const std::vector<std::string> caches = mountedCachesPaths();
    std::vector<BrowserItem> rows;
    if (!all) {
        auto found = cachedItems(options.positional, caches, err);
        if (!found)
            return kExitFailure;
        rows = std::move(*found);
    }
    // What the user sees is counted: the archived items, those of each date folder for a day;
    // the index and the markers go too, uncounted.
    const std::vector<std::string> paths =
        CacheEmptying::pathsToEmpty(all ? EmptyScope::Everything : EmptyScope::Selection, caches, rows);
    if (paths.empty()) {
        out << "The cache is empty: nothing to delete.\n";
        return kExitSuccess;
    }
    std::map<std::string, size_t> itemsAt;
    size_t count = 0;
    for (const std::string &path : paths) {
        const bool isDay = std::any_of(caches.begin(), caches.end(), [&](const std::string &cache) {
            return sys::parentPath(path) == withoutTrailingSlashes(cache);
        });
        size_t items = isDay ? 0 : 1;
        if (isDay) {
            if (auto folder = openFolderInCache(caches, path))
                (void)sys::forEachEntry(folder->get(), [&](std::string_view name, unsigned char) {
                    items += isInternalName(name) ? 0 : 1;
                    return true;
                });
        }
        itemsAt[path] = items;
        count += items;
    }

    if (!confirmed) {
        if (!options.console.interactive || !options.console.in)
            return usageError(err, "empty: not on a terminal; confirm the deletion with --yes", kEmptyHelp);
        err << "Are you sure you want to delete files?\n"
            << "Files will be permanently deleted from your hard disk. This can't be undone.\n"
            << (all ? "Everything in " + std::to_string(caches.size()) + " cache folder(s), " +
                          std::to_string(count) + " item(s),"
                    : std::to_string(count) + " item(s)")
            << " will be deleted. Delete files? [y/N] " << std::flush;
        std::string answer;
        std::getline(*options.console.in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes" && answer != "YES" && answer != "Yes") {
            err << "Do not delete: nothing was deleted.\n";
            return kExitFailure;
        }
    }

    ProtectionControl control = ProtectionControl::forUser();
    const bool wasRunning = control.isRunning();
    if (wasRunning)
        out << "Protection stopped while the cache is emptied.\n" << std::flush;

    NotificationCenter center;
    PollingRunLoop loop;
    CacheEmptying emptying(loop, center);
    ProgressBar bar(err, options.console.interactive, "Deleting");
    emptying.setItemDoneCallback([&](size_t index, size_t total, const std::string &) {
        bar.show(static_cast<double>(index + 1) * 100.0 / static_cast<double>(total),
                 std::to_string(index + 1) + "/" + std::to_string(total) + " items");
    });
    // Folders that resisted plain removal are still being deleted by workers while the
    // emptying waits: their progress is what the bar shows then.
    if (options.console.interactive)
        loop.scheduleRepeating(kProgressInterval, [&] {
            if (emptying.deleteThreadRunning())
                bar.show(emptying.workersProgress(), "locked folders");
            return true;
        });
    std::vector<DeletedItem> deleted = emptying.emptyCaches(all ? EmptyScope::Everything : EmptyScope::Selection,
                                                            caches, rows, control);
    bar.finish();
    if (emptying.protectionOutlivedStop())
        err << "quilletctl: protection: a daemon was still running 10 seconds after the stop; the cache was "
               "emptied all the same\n";

    int failures = 0;
    size_t deletedItems = 0;
    for (const DeletedItem &item : deleted) {
        if (!item.status) {
            err << "quilletctl: cannot delete " << escapedText(item.path) << ": " << escapedText(item.status.message())
                << "\n";
            ++failures;
        } else if (auto it = itemsAt.find(item.path); it != itemsAt.end()) {
            deletedItems += it->second;
        }
    }
    out << "Deleted " << deletedItems << " of " << count << " items.\n";
    if (wasRunning) {
        for (const std::string &failure : control.failures())
            err << "quilletctl: " << failure << "\n";
        if (control.isRunning()) {
            out << "Protection started again.\n";
        } else {
            err << "quilletctl: protection: no daemon is running after the restart\n";
            ++failures;
        }
    }
    return failures == 0 ? kExitSuccess : kExitFailure;
}

} // namespace quillet::cli
