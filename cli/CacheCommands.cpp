// quilletctl recover and empty: the commands that take items out of the cache or delete them.
// Items are named by the paths list and search show; anything that does not lie inside one of
// this user's cache folders is refused before any work starts.

#include "jobs/CacheEmptying.h"
#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "jobs/CacheRecovery.h"
#include "CommandSupport.h"
#include "control/DaemonControl.h"
#include "jobs/Job.h"
#include "control/ProtectionControl.h"

#include <algorithm>
#include <cmath>
#include <istream>
#include <map>
#include <memory>
#include <ostream>

namespace quillet::cli {

const char *const kRecoverHelp =
    "Usage: quilletctl recover ITEM... --to FOLDER [--password-stdin]\n"
    "Copies cached items into FOLDER under their visible names; ITEM is a path as list and search\n"
    "show it (escaped, as --json decodes it, or as its bytes), a day row's path recovers the whole\n"
    "day into a folder named after its date. FOLDER is created when missing (its parent must exist).\n"
    "Nothing in FOLDER is ever replaced: a file already there fails, a folder is merged into a folder\n"
    "of the same name, adding what it lacks. Every item not recovered is named with the reason, and\n"
    "the exit status is then 1. Recovered folders keep their times, modes and extended attributes.\n"
    "When the cache is locked by a password (Quillet's settings), asks for it on the terminal first;\n"
    "--password-stdin reads it from the first line of standard input instead.\n";

const char *const kEmptyHelp =
    "Usage: quilletctl empty --all [--yes] [--password-stdin]\n"
    "       quilletctl empty ITEM... [--yes] [--password-stdin]\n"
    "Deletes cached items for good: everything in every cache folder (--all), or the items given\n"
    "(paths as list and search show them; a day row's path deletes the day). Running protection is\n"
    "stopped meanwhile and started again afterwards. Asks for confirmation on a terminal; elsewhere\n"
    "--yes is required. The count given is of archived items (a day counts its items).\n"
    "When the cache is locked by a password (Quillet's settings), asks for it on the terminal first;\n"
    "--password-stdin reads it from the first line of standard input instead.\n";

namespace {

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

/// What a recovery tells the user: each row as its outcome comes, on the recovery's thread
/// while this one waits; the bar meanwhile.
class RecoveryReport : public JobObserver {
public:
    RecoveryReport(std::ostream &out, std::ostream &err, ProgressBar &bar, size_t rows)
        : _out(out), _err(err), _bar(bar), _rows(rows) {}

    void progress(double percent) override {
        const size_t left = _rows - _done;
        _bar.show(percent, std::to_string(left) + (left == 1 ? " item" : " items"));
    }
    void itemDone(const ItemOutcome &item) override {
        ++_done;
        _bar.finish();
        if (!item.status) {
            // A refusal about the folder itself (gone from the cache) needs no second mention
            // of its path.
            const bool aboutItself = item.isFolder && item.status.path() == item.source;
            _err << "quilletctl: cannot recover " << escapedText(item.source) << ": "
                 << escapedText(aboutItself ? item.status.reason() : item.status.message()) << "\n";
            ++_failures;
            return;
        }
        // What a folder's copy left out, each entry with its reason; the rest is recovered.
        for (const CopyFailure &failure : item.failures)
            _err << "quilletctl: cannot recover " << escapedText(failure.source) << ": "
                 << escapedText(failure.status.message()) << "\n";
        _out << "Recovered " << escapedText(item.source) << " as " << escapedText(item.target);
        if (item.failures.empty()) {
            _out << "\n";
        } else {
            _out << " but for " << item.failures.size() << (item.failures.size() == 1 ? " item\n" : " items\n");
            ++_failures;
        }
    }
    int failures() const { return _failures; }

private:
    std::ostream &_out;
    std::ostream &_err;
    ProgressBar &_bar;
    size_t _rows;
    size_t _done = 0;
    int _failures = 0;
};

/// The bar of an emptying: drawn after each path, and meanwhile with the share of the paths
/// deleted, a locked folder counting with what its worker has done.
class EmptyingProgress : public JobObserver {
public:
    EmptyingProgress(ProgressBar &bar, size_t paths) : _bar(bar), _paths(paths) {}
    void progress(double percent) override { _bar.show(percent, detail()); }
    void itemDone(const ItemOutcome &) override {
        ++_done;
        _bar.show(static_cast<double>(_done) * 100.0 / static_cast<double>(_paths), detail());
    }

private:
    std::string detail() const { return std::to_string(_done) + "/" + std::to_string(_paths) + " items"; }

    ProgressBar &_bar;
    size_t _paths;
    size_t _done = 0;
};

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
    } else if (!destinationStat && !sys::stat(sys::parentPath(sys::withoutTrailingSlashes(destination)), sys::FollowLinks::Yes)) {
        err << "quilletctl: " << shownDestination << ": its parent folder does not exist\n";
        return kExitFailure;
    }
    const std::string where = sys::exists(destination)
                                  ? sys::canonicalPath(destination)
                                  : sys::canonicalPath(sys::parentPath(sys::withoutTrailingSlashes(destination)));
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

    ProgressBar bar(err, options.console.interactive, "Recovering");
    // Nobody listens for the workers' notifications here: the recovery reports each row itself.
    auto recovery = CacheRecovery::recoverItems(*rows, destination, nullptr);
    // Every failure is reported by the report, once, naming the item and the reason.
    recovery->setFailureLog(FailureLog::None);
    auto report = std::make_shared<RecoveryReport>(out, err, bar, rows->size());
    recovery->addObserver(report);
    recovery->startThread();
    recovery->wait();
    bar.finish();
    const int failures = report->failures();
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
            return sys::parentPath(path) == sys::withoutTrailingSlashes(cache);
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

    ProgressBar bar(err, options.console.interactive, "Deleting");
    // The delete workers of folders that resist plain removal post to nobody: the bar follows
    // the emptying as a whole.
    auto emptying = CacheEmptying::emptyCaches(all ? EmptyScope::Everything : EmptyScope::Selection, caches, rows,
                                               control, nullptr);
    if (options.console.interactive)
        emptying->addObserver(std::make_shared<EmptyingProgress>(bar, paths.size()));
    emptying->startThread();
    emptying->wait();
    const std::vector<DeletedItem> deleted = emptying->deleted();
    bar.finish();
    if (emptying->protectionOutlivedStop())
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
