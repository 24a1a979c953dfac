#include "jobs/CacheRestore.h"

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "jobs/CacheRecovery.h"
#include "jobs/CopyFileUtil.h"
#include "platform/FileCopy.h"
#include "platform/RemoveTree.h"

#include <sys/stat.h>

#include <fcntl.h>

#include <cerrno>
#include <memory>

namespace quillet {
namespace {

/// How many temporary names are tried before a folder restore gives up.
constexpr unsigned kPartialNameAttempts = 1000;

/// True when a component of path is "." or "..": a recorded original path holding one could
/// lead anywhere.
bool hasDotComponent(std::string_view path) {
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (component == "." || component == "..")
            return true;
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return false;
}

/// Opens the folder path, creating what it lacks as "mkdir -p" does (mode 0777 less the umask),
/// and adds the folders it made to made, outermost first. Folders that exist are followed
/// through links, as mkdir -p follows them: the user's own paths may lead through one.
sys::Result<sys::Fd> openMakingParents(const std::string &path, std::vector<std::string> &made) {
    const bool absolute = path.starts_with('/');
    auto current = sys::openDirectory(absolute ? "/" : ".");
    if (!current)
        return sys::Status::failure(current.code(), "open", absolute ? "/" : ".");
    std::string shown = absolute ? "/" : "";
    std::string_view rest = path;
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string component(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty())
            continue;
        shown = shown.empty() ? component : sys::joinPath(shown, component);
        auto next = sys::openDirectoryAt(*current, component, sys::FollowLinks::Yes);
        if (!next && next.code() == ENOENT) {
            sys::Status status = sys::mkdirAt(*current, component, 0777);
            if (status)
                made.push_back(shown);
            else if (status.code() != EEXIST) // made meanwhile by someone else: used as it is
                return sys::Status::failure(status.code(), "mkdir", shown);
            next = sys::openDirectoryAt(*current, component, sys::FollowLinks::Yes);
        }
        if (!next)
            return sys::Status::failure(next.code(), "open", shown);
        current = std::move(next);
    }
    return current;
}

/// Removes the folders an item that failed made for itself, innermost first; a folder that
/// something else was written into meanwhile stays.
void removeMadeFolders(const std::vector<std::string> &made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        (void)sys::unlinkAt(AT_FDCWD, *it, true);
}

/// path with its leading from (a whole folder) replaced by to.
std::string replacedPrefix(const std::string &path, const std::string &from, const std::string &to) {
    if (!path.starts_with(from) || (path.size() > from.size() && path[from.size()] != '/'))
        return path;
    return to + path.substr(from.size());
}

/// The path under which the item name of the open folder folderFd is reached whatever becomes
/// of the path it was opened by: the copy worker takes paths, and these keep it inside the
/// folders this restore opened and checked.
std::string anchoredPath(int folderFd, const std::string &name) {
    return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
}

/// The copy worker's answer: what it left out, or that it found no source.
struct FolderCopy {
    bool sourceMissing = false;
    std::vector<CopyFailure> failures;
};

/// Fills the existing folder destination with the content of the folder source (visible names
/// at every depth) on a copy worker, and waits for its end. The worker shares the tree out
/// among a few threads: a folder of many small files is restored in about half the time of a
/// single walk. It goes relative to the folders it opened, so that a tree deeper than a path
/// can name comes back whole.
FolderCopy copyFolderContent(const std::string &source, const std::string &destination) {
    // Nobody shows its progress: it posts no notifications.
    auto worker = CopyFileUtil::create(CopyThreadType::Copy, source, destination, Visibility::Visible, nullptr);
    worker->startThread();
    worker->wait();
    return FolderCopy{worker->end() == JobEnd::Failed, worker->failures()};
}

/// The first failure of a copy, in the paths the user knows, with how many more there were.
sys::Status firstFailure(const std::vector<CopyFailure> &failures, const std::string &anchoredSource,
                         const std::string &source, const std::string &anchoredTarget, const std::string &target) {
    const CopyFailure &first = failures.front();
    // A failure to read names the cached entry; any other the entry that was to be written.
    std::string path = first.status.path().starts_with(anchoredSource)
                           ? replacedPrefix(first.status.path(), anchoredSource, source)
                           : replacedPrefix(first.target, anchoredTarget, target);
    std::string reason = first.status.reason();
    if (failures.size() > 1)
        reason += " (and " + std::to_string(failures.size() - 1) + " more entries not restored)";
    return sys::Status::refusal(first.status.code(), path, std::move(reason));
}

/// Gives the assembled folder partial of parentFd the name name, never replacing anything.
sys::Status nameFolder(int parentFd, const std::string &partial, const std::string &name, const std::string &target) {
    sys::Status status = sys::renameNoReplace(parentFd, partial, parentFd, name);
    if (status.code() == EINVAL || status.code() == ENOSYS) {
        // A file system that cannot rename without replacing: the name is taken first by an
        // empty folder of ours, which a rename of one folder over another may replace. Whatever
        // is written into it meanwhile makes the rename fail rather than be lost.
        status = sys::mkdirAt(parentFd, name, 0700);
        if (status) {
            status = sys::rename(anchoredPath(parentFd, partial), anchoredPath(parentFd, name));
            if (!status)
                (void)sys::unlinkAt(parentFd, name, true);
        }
    }
    if (status.code() == EEXIST)
        return sys::Status::refusal(EEXIST, target, "already exists");
    if (!status)
        return sys::Status::failure(status.code(), "rename", target);
    return status;
}

/// Restores the folder sourceName of the open folder sourceParent, whose status is st, as name
/// in the open folder targetParent: assembled under a temporary name, named once complete.
/// source and target are the two paths the user knows, for the messages.
sys::Status restoreFolder(int sourceParent, const std::string &sourceName, const struct stat &st, int targetParent,
                          const std::string &name, const std::string &source, const std::string &target) {
    std::string partial;
    for (unsigned n = 0; n < kPartialNameAttempts && partial.empty(); ++n) {
        std::string candidate = sys::partialName(n);
        // Private while it is filled; it takes its own mode once complete.
        sys::Status made = sys::mkdirAt(targetParent, candidate, 0700);
        if (made)
            partial = std::move(candidate);
        else if (made.code() != EEXIST)
            return sys::Status::failure(made.code(), "mkdir", sys::joinPath(sys::parentPath(target), candidate));
    }
    if (partial.empty())
        return sys::Status::failure(EEXIST, "mkdir", sys::joinPath(sys::parentPath(target), sys::partialName(0)));

    const std::string anchoredSource = anchoredPath(sourceParent, sourceName);
    const std::string anchoredTarget = anchoredPath(targetParent, partial);
    FolderCopy copy = copyFolderContent(anchoredSource, anchoredTarget);
    sys::Status status;
    if (copy.sourceMissing)
        status = sys::Status::refusal(ENOENT, source, "no longer in the cache");
    else if (!copy.failures.empty())
        status = firstFailure(copy.failures, anchoredSource, source, anchoredTarget, target);
    if (status) {
        // The folder itself last, once everything inside it is written, as cp -a leaves it.
        auto from = sys::openDirectoryAt(sourceParent, sourceName, sys::FollowLinks::No);
        auto to = sys::openDirectoryAt(targetParent, partial, sys::FollowLinks::No);
        if (!to) {
            status = sys::Status::failure(to.code(), "open", target);
        } else {
            if (from)
                sys::copyExtendedAttributes(from->get(), to->get());
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (sys::Status mode = sys::fchmod(*to, st.st_mode & 07777); !mode)
                status = sys::Status::failure(mode.code(), "chmod", target);
            else if (sys::Status timed = sys::futimens(*to, times); !timed)
                status = sys::Status::failure(timed.code(), "futimens", target);
        }
    }
    if (status)
        status = nameFolder(targetParent, partial, name, target);
    if (!status)
        (void)sys::removeTree(targetParent, partial);
    return status;
}

} // namespace

CacheRestore::CacheRestore(std::vector<std::string> caches) : _caches(caches), _origins(std::move(caches)) {
    for (std::string &cache : _caches)
        cache = sys::withoutTrailingSlashes(std::move(cache));
}

bool CacheRestore::insideCache(const std::string &path) const {
    // The target itself may not exist yet: its nearest existing ancestor tells where it goes.
    std::string probe = path;
    while (!sys::exists(probe)) {
        std::string parent = sys::parentPath(probe);
        if (parent == probe)
            break;
        probe = std::move(parent);
    }
    const std::string resolved = sys::canonicalPath(probe);
    for (const std::string &cache : _caches) {
        const std::string folder = sys::canonicalPath(cache);
        if (resolved == folder || resolved.starts_with(folder + "/"))
            return true;
    }
    return false;
}

bool CacheRestore::isDayRow(const std::string &path) const {
    const std::string parent = sys::parentPath(path);
    for (const std::string &cache : _caches)
        if (parent == cache)
            return true;
    return false;
}

std::vector<RestoredItem> CacheRestore::restoreItems(const std::vector<BrowserItem> &rows,
                                                     const std::optional<std::string> &folder) {
    std::vector<RestoredItem> items;
    items.reserve(rows.size());
    for (const BrowserItem &row : rows)
        items.push_back(restoreItem(row, folder));
    return items;
}

RestoredItem CacheRestore::restoreItem(const BrowserItem &row, const std::optional<std::string> &folder) {
    RestoredItem item{row.pathToItem, std::string(), false, sys::Status()};
    const std::string path = sys::withoutTrailingSlashes(row.pathToItem);
    if (row.isEmpty()) {
        item.status = sys::Status::refusal(ENOENT, row.pathToItem, "no longer in the cache");
        return item;
    }
    if (isDayRow(path)) {
        item.status = sys::Status::refusal(EISDIR, row.pathToItem,
                                           "a day of the cache, not an item: restore the items it holds "
                                           "(quilletctl recover copies whole days)");
        return item;
    }
    // Read through the cache folder and its date folder as they are now, each a real folder of
    // the user's.
    auto entry = openEntryInCache(_caches, path);
    if (!entry) {
        item.status = entry.status();
        return item;
    }
    auto st = sys::statAt(entry->folder, entry->name, sys::FollowLinks::No);
    if (!st) {
        item.status = st.code() == ENOENT ? sys::Status::refusal(ENOENT, row.pathToItem, "no longer in the cache")
                                          : sys::Status::failure(st.code(), "stat", row.pathToItem);
        return item;
    }
    item.isFolder = S_ISDIR(st->st_mode);

    if (folder) {
        item.target = sys::joinPath(*folder, recoveredName(row));
    } else if (auto origin = _origins.originOf(path)) {
        item.target = origin->originalPath;
        if (!item.target.starts_with('/') || hasDotComponent(item.target)) {
            item.status = sys::Status::refusal(EINVAL, row.pathToItem,
                                               "its recorded original path is not a plain absolute path; restore it "
                                               "with --to FOLDER");
            return item;
        }
    } else {
        item.status = sys::Status::refusal(ENOENT, row.pathToItem, kUnknownOrigin);
        return item;
    }
    item.target = sys::withoutTrailingSlashes(item.target);
    const std::string name = sys::lastPathComponent(item.target);
    if (name.empty() || name == "/" || name == "." || name == "..") {
        item.status = sys::Status::refusal(EINVAL, item.target, "not a name to restore to");
        return item;
    }
    if (insideCache(item.target)) {
        item.status = sys::Status::refusal(EINVAL, item.target, "inside a cache folder; restore to a folder outside it");
        return item;
    }
    // Already there: refused before anything is made or read.
    if (sys::exists(item.target)) {
        item.status = sys::Status::refusal(EEXIST, item.target, "already exists");
        return item;
    }

    std::vector<std::string> made;
    auto parent = openMakingParents(sys::parentPath(item.target), made);
    if (!parent) {
        removeMadeFolders(made);
        item.status = parent.status();
        return item;
    }
    if (!item.isFolder) {
        // Written unnamed (or under a temporary name) and named only once complete, never over
        // anything that appeared meanwhile.
        item.status = sys::copyItemAt(entry->folder.get(), entry->name, &*st, parent->get(), name, row.pathToItem,
                                      item.target);
        if (item.status.code() == EEXIST)
            item.status = sys::Status::refusal(EEXIST, item.target, "already exists");
    } else {
        item.status = restoreFolder(entry->folder.get(), entry->name, *st, parent->get(), name, row.pathToItem,
                                    item.target);
    }
    if (!item.status)
        removeMadeFolders(made);
    return item;
}

} // namespace quillet
