#pragma once
// Putting archived items back where they were trashed from (their trash information, kept with
// the archive, says where: ItemOrigin.h), or into a folder the user names.
//
// A restore never replaces anything: an item whose target exists fails and nothing of it is
// written. Missing parent folders are created as "mkdir -p" would (mode 0777 less the umask);
// those made for an item that then fails are removed again when still empty. A folder is
// assembled under a temporary name in its target's parent (sys::partialName) by a copy worker
// (CopyFileUtil, visible names at every depth) and given its name only once complete, with a
// rename that never replaces, so that a failure or a crash never leaves part of a folder under
// the real name; a file is written the same way by sys::copyItemAt. What "cp -a" keeps is kept:
// modes, access and modification times (a folder's after its content), extended attributes,
// links as links, holes, clones where the file system shares data, hard links between the files
// of a folder. The archive stays in the cache.

#include "browser/BrowserItem.h"
#include "archive/ItemOrigin.h"
#include "platform/System.h"

#include <optional>
#include <string>
#include <vector>

namespace quillet {

/// What became of one row.
struct RestoredItem {
    std::string source; ///< the row's pathToItem
    std::string target; ///< where it went, or was to go; empty when that is not known
    bool isFolder = false;
    /// The outcome. A refusal about the row itself has the row's path as its path (print its
    /// reason); any other names the target or the entry that failed.
    sys::Status status;
};

class CacheRestore {
public:
    /// caches: the user's cache folders as listed (as cli cachesPaths() gives them); rows are
    /// only ever read from inside them, through real folders of the user's.
    explicit CacheRestore(std::vector<std::string> caches);

    /// Restores each row in order to its original path, or, when folder is given, to
    /// folder/<visible name of the row's stored name>, and answers one outcome per row. A row
    /// whose origin is unknown fails with "no trash information recorded for it; restore it
    /// with --to FOLDER"; a day row (a whole date folder) is refused: restore the items it
    /// holds. A target inside a cache folder is refused.
    std::vector<RestoredItem> restoreItems(const std::vector<BrowserItem> &rows,
                                           const std::optional<std::string> &folder = std::nullopt);
    RestoredItem restoreItem(const BrowserItem &row, const std::optional<std::string> &folder = std::nullopt);

    /// The reason given for a row whose origin is not recorded.
    static constexpr const char *kUnknownOrigin = "no trash information recorded for it; restore it with --to FOLDER";

private:
    /// Whether path lies in a cache folder (or is one), links resolved as far as it exists.
    bool insideCache(const std::string &path) const;
    bool isDayRow(const std::string &path) const;

    std::vector<std::string> _caches; ///< without trailing slashes
    OriginLookup _origins;
};

} // namespace quillet
