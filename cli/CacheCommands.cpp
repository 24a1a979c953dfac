// quilletctl recover and empty: the commands that take items out of the cache or delete them.
// Items are named by the paths list and search show; anything that does not lie inside one of
// this user's cache folders is refused before any work starts.

#include "CacheEmptying.h"
#include "CacheFolders.h"
#include "CacheRecovery.h"
#include "CommandSupport.h"
#include "DaemonControl.h"
#include "ProtectionControl.h"
#include "RunningWorkers.h"
#include "platform/TrustedFolder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <istream>
#include <ostream>

namespace quillet::cli {

const char *const kRecoverHelp =
    "Usage: quilletctl recover ITEM... --to FOLDER\n"
    "Copies cached items into FOLDER under their visible names; ITEM is a path as list and search\n"
    "show it, a day row's path recovers the whole day into a folder named after its date. FOLDER is\n"
    "created when missing (its parent must exist). A file already in FOLDER is never replaced: that\n"
    "item fails. A folder is merged into a folder of the same name, adding what it lacks.\n";

const char *const kEmptyHelp =
    "Usage: quilletctl empty --all [--yes]\n"
    "       quilletctl empty ITEM... [--yes]\n"
    "Deletes cached items for good: everything in every cache folder (--all), or the items given\n"
    "(paths as list and search show them). Running protection is stopped meanwhile and started\n"
    "again afterwards. Asks for confirmation on a terminal; elsewhere --yes is required.\n";

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

/// The cache folder that holds the resolved path (or is it, when orItself), as listed in caches
/// and resolved; nothing when none does.
std::optional<std::pair<std::string, std::string>> cacheHolding(const std::string &resolved,
                                                                const std::vector<std::string> &caches, bool orItself) {
    for (const std::string &cache : caches) {
        const std::string folder = sys::canonicalPath(withoutTrailingSlashes(cache));
        if ((orItself && resolved == folder) || resolved.starts_with(folder + "/"))
            return std::pair{withoutTrailingSlashes(cache), folder};
    }
    return std::nullopt;
}

/// The browser row of the cached item named by argument, or the reason it is not one. Only
/// the parent folder is resolved, to tell which cache folder holds the item; the item is then
/// reached from that cache folder as it is listed, through real folders of the user's only,
/// and is never followed itself when it is a link.
std::optional<BrowserItem> cachedItem(const std::string &argument, const std::vector<std::string> &caches,
                                      std::string &why) {
    const std::string path = withoutTrailingSlashes(argument);
    const std::string name = sys::lastPathComponent(path);
    const std::string parent = sys::canonicalPath(sys::parentPath(path));
    const auto cache = cacheHolding(parent, caches, true);
    if (name.empty() || name == "." || name == ".." || name == "/" || !cache) {
        why = "not an item of a cache folder (give a path as list or search show it)";
        return std::nullopt;
    }
    const auto &[listed, resolvedCache] = *cache;
    const std::string folder = listed + parent.substr(resolvedCache.size());
    auto entry = openEntryInCache(caches, sys::joinPath(folder, name));
    if (!entry) {
        why = entry.status().message();
        return std::nullopt;
    }
    auto st = sys::statAt(entry->folder.get(), name, sys::FollowLinks::No);
    if (!st) {
        why = sys::Status::failure(st.code(), "stat", sys::joinPath(folder, name)).message();
        return std::nullopt;
    }
    if (folder == listed && S_ISDIR(st->st_mode)) {
        if (sys::Status own = sys::checkOwnedFolder(*st, sys::joinPath(folder, name)); !own) {
            why = own.reason();
            return std::nullopt;
        }
        return makeDayRow(listed, name, *st, FolderSize::Skip);
    }
    return makeEntryRow(folder, name, *st, RowOrigin::FlatRow);
}

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
            err << "quilletctl: " << argument << ": " << why << "\n";
            allFound = false;
        }
    }
    if (!allFound)
        return std::nullopt;
    return rows;
}

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

    const std::vector<std::string> caches = cachesPaths();
    auto rows = cachedItems(options.positional, caches, err);
    if (!rows)
        return kExitFailure;

    // The destination: a folder, or a name to create in an existing folder, outside the cache.
    if (auto st = sys::stat(destination, sys::FollowLinks::Yes); st && !S_ISDIR(st->st_mode)) {
        err << "quilletctl: " << destination << ": not a folder\n";
        return kExitFailure;
    } else if (!st && !sys::stat(sys::parentPath(withoutTrailingSlashes(destination)), sys::FollowLinks::Yes)) {
        err << "quilletctl: " << destination << ": its parent folder does not exist\n";
        return kExitFailure;
    }
    const std::string where = sys::exists(destination)
                                  ? sys::canonicalPath(destination)
                                  : sys::canonicalPath(sys::parentPath(withoutTrailingSlashes(destination)));
    if (auto cache = cacheHolding(where, caches, true)) {
        err << "quilletctl: " << destination << ": inside the cache folder " << cache->first
            << "; recover into a folder outside it\n";
        return kExitFailure;
    }

    NotificationCenter center;
    PollingRunLoop loop;
    RunningWorkers<CopyFileUtil> workers(center);
    CacheRecovery recovery(loop, center);
    int failures = 0;
    recovery.setWorkerStartingCallback([&](const std::shared_ptr<CopyFileUtil> &worker) { workers.add(worker); });
    recovery.setFileCopiedCallback([&](const RecoveredItem &item) {
        if (item.status) {
            out << "Recovered " << item.source << " as " << item.target << "\n";
        } else {
            err << "quilletctl: cannot recover " << item.source << ": " << item.status.message() << "\n";
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
            err << "quilletctl: cannot recover " << item.source << ": "
                << (item.status ? "the folder is no longer in the cache" : item.status.message()) << "\n";
            ++failures;
        } else {
            out << "Recovered " << item.source << " as " << item.target << "\n";
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

    const std::vector<std::string> caches = cachesPaths();
    std::vector<BrowserItem> rows;
    if (!all) {
        auto found = cachedItems(options.positional, caches, err);
        if (!found)
            return kExitFailure;
        rows = std::move(*found);
    }
    const size_t count = all ? CacheEmptying::pathsToEmpty(EmptyScope::Everything, caches, {}).size() : rows.size();
    if (count == 0) {
        out << "The cache is empty: nothing to delete.\n";
        return kExitSuccess;
    }

    if (!confirmed) {
        if (!options.console.interactive || !options.console.in)
            return usageError(err, "empty: not on a terminal; confirm the deletion with --yes", kEmptyHelp);
        err << "Are you sure you want to delete files?\n"
            << "Files will be permanently deleted from your hard disk. This can't be undone.\n"
            << (all ? "Everything in " + std::to_string(caches.size()) + " cache folder(s)"
                    : std::to_string(count) + " item(s)")
            << " will be deleted. Delete files? [y/N] " << std::flush;
        std::string answer;
        std::getline(*options.console.in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes" && answer != "YES" && answer != "Yes") {
            err << "Do not delete: nothing was deleted.\n";
            return kExitFailure;
        }
    }

    DaemonControl daemons(daemonFolder());
    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = loadMirror(domain);
    ProtectionControl control(daemons, domain, mirror);
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
    for (const DeletedItem &item : deleted) {
        if (!item.status) {
            err << "quilletctl: cannot delete " << item.path << ": " << item.status.message() << "\n";
            ++failures;
        }
    }
    out << "Deleted " << deleted.size() - static_cast<size_t>(failures) << " of " << deleted.size() << " items.\n";
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
