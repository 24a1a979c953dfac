// quilletctl restore: cached items back to the places they were trashed from, or into a folder.
// Items are named by the paths list and search show; anything that does not lie inside one of
// this user's cache folders is refused before any work starts.

#include "archive/CacheFolders.h"
#include "jobs/CacheRestore.h"
#include "CommandSupport.h"

#include <ostream>

namespace quillet::cli {

const char *const kRestoreHelp =
    "Usage: quilletctl restore ITEM... [--to FOLDER] [--password-stdin]\n"
    "Copies cached items back to where they were trashed from, as the trash recorded it; ITEM is a\n"
    "path as list and search show it, an item inside an archived folder included (it goes to its\n"
    "place inside the folder's original place). Missing parent folders are created. Nothing is\n"
    "ever replaced: an item whose original path exists fails, and nothing of it is written. With\n"
    "--to, each item goes into FOLDER (which must exist, outside the cache) under its own name\n"
    "instead: the way back for items whose origin was not recorded. A day row is refused: restore\n"
    "the items it holds (recover copies whole days). The cache keeps its copy.\n"
    "When the cache is locked by a password (Quillet's settings), asks for it on the terminal first;\n"
    "--password-stdin reads it from the first line of standard input instead.\n";

int restore(const Options &options, std::ostream &out, std::ostream &err) {
    std::optional<std::string> folder;
    for (size_t i = 0; i < options.other.size(); ++i) {
        if (options.other[i] == "--to" && i + 1 < options.other.size() && !folder)
            folder = options.other[++i];
        else if (options.other[i] == "--to" && !folder)
            return usageError(err, "restore: --to needs a FOLDER", kRestoreHelp);
        else
            return usageError(err, "restore: unexpected argument \"" + escapedText(options.other[i]) + "\"",
                              kRestoreHelp);
    }
    if (folder && folder->empty())
        return usageError(err, "restore: --to needs a FOLDER", kRestoreHelp);
    if (options.positional.empty())
        return usageError(err, "restore: give at least one ITEM", kRestoreHelp);

    const std::vector<std::string> caches = mountedCachesPaths();
    auto rows = cachedItems(options.positional, caches, err);
    if (!rows)
        return kExitFailure;

    if (folder) {
        // The folder is not created: a mistyped name would otherwise scatter items where nobody
        // looks for them.
        auto st = sys::stat(*folder, sys::FollowLinks::Yes);
        if (!st || !S_ISDIR(st->st_mode)) {
            err << "quilletctl: " << escapedText(*folder) << ": " << (st ? "not a folder" : "no such folder") << "\n";
            return kExitFailure;
        }
        if (auto cache = cacheFolderHolding(sys::canonicalPath(*folder), caches)) {
            err << "quilletctl: " << escapedText(*folder) << ": inside the cache folder " << escapedText(cache->listed)
                << "; restore into a folder outside it\n";
            return kExitFailure;
        }
    }

    CacheRestore restorer(caches);
    int failures = 0;
    for (const BrowserItem &row : *rows) {
        const RestoredItem item = restorer.restoreItem(row, folder);
        if (item.status) {
            out << "Restored " << escapedText(item.source) << " to " << escapedText(item.target) << "\n" << std::flush;
            continue;
        }
        // A refusal about the item itself needs no second mention of its path.
        const std::string why = item.status.path() == item.source ? item.status.reason() : item.status.message();
        err << "quilletctl: cannot restore " << escapedText(item.source) << ": " << escapedText(why) << "\n";
        ++failures;
    }
    return failures == 0 ? kExitSuccess : kExitFailure;
}

} // namespace quillet::cli
