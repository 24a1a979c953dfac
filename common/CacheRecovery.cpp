#include "CacheRecovery.h"

#include "CacheLayout.h"
#include "platform/FileCopy.h"
#include "platform/Log.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

namespace quillet {
namespace {

/// True when target lies inside the folder source: copying source there would copy the copy
/// again, without end.
bool liesInside(const std::string &target, const std::string &source) {
    const std::string folder = sys::canonicalPath(source);
    // The target itself may not exist yet: its nearest existing ancestor tells where it goes.
    std::string probe = target;
    while (!sys::exists(probe)) {
        std::string parent = sys::parentPath(probe);
        if (parent == probe || parent.empty())
            return false;
        probe = std::move(parent);
    }
    const std::string resolved = sys::canonicalPath(probe);
    return resolved == folder || resolved.starts_with(folder == "/" ? folder : folder + "/");
}

bool isFolder(const std::string &path) {
    auto st = sys::stat(path, sys::FollowLinks::No);
    return st && S_ISDIR(st->st_mode);
}

} // namespace

std::string_view pathExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot + 1);
}

std::string_view deletingPathExtension(std::string_view name) {
    const std::string_view extension = pathExtension(name);
    return extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
}

std::string recoveredName(const BrowserItem &item) {
    const std::string stored = sys::lastPathComponent(item.pathToItem);
    // The stored name decides: the names a row shows are already visible forms (or, for a
    // search result, the stored name), so taking the prefix off them again would turn an item
    // really named ".x_profile" (stored ".x_.x_profile") into "profile".
    if (hasHiddenPrefix(stored)) {
        std::string visible = setFileName(stored, Visibility::Visible);
        // ".x_" alone (or ".x_." and ".x_..") has no visible form that can name an entry.
        if (visible.empty() || visible == "." || visible == "..")
            return stored;
        return visible;
    }
    // A day row shows its date; a name stored without the prefix (too long for it) is its own
    // visible form, as is the shown name of a row without a path.
    if (item.itemName && !item.itemName->empty())
        return *item.itemName;
    if (item.itemRepresentationName && !item.itemRepresentationName->empty())
        return *item.itemRepresentationName;
    return stored;
}

sys::Fd uniqueFileNameInFolder(const std::string &folder, std::string_view base, std::string_view extension,
                               std::optional<std::string> *name, DeleteAfterwards deleteAfterwards) {
    std::string candidate;
    sys::Result<sys::Fd> created = sys::Status::failure(EINVAL, "open", folder);
    // O_EXCL makes the test and the creation one step: another process that wants a free name
    // at the same moment gets another one.
    for (unsigned n = 0;; ++n) {
        candidate = std::string(base) + (n == 0 ? "" : "-" + std::to_string(n));
        if (!extension.empty())
            candidate += "." + std::string(extension);
        created = sys::open(folder + "/" + candidate, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (created || created.code() != EEXIST)
            break;
    }
    if (deleteAfterwards == DeleteAfterwards::Yes) {
        if (name)
            *name = candidate;
        // Only a file made here is removed: after any other failure the path is not ours.
        if (created) {
            created->reset();
            (void)sys::unlink(folder + "/" + candidate);
        }
        return sys::Fd();
    }
    if (!created) {
        if (name)
            name->reset();
        return sys::Fd();
    }
    if (name)
        *name = candidate;
    return std::move(created.value());
}

RecoveredItem CacheRecovery::copyFile(const std::string &source, const std::string &target) {
    // A name already taken is seen before any data is read; the copy itself still never
    // replaces what appears meanwhile.
    sys::Status status = sys::exists(target) ? sys::Status::failure(EEXIST, "copy", target) : sys::copyItem(source, target);
    if (status.code() == EEXIST)
        status = sys::Status::refusal(EEXIST, target, "already exists");
    RecoveredItem item{source, target, false, std::move(status), nullptr};
    if (_fileCopied)
        _fileCopied(item);
    return item;
}

RecoveredItem CacheRecovery::startFolderCopy(const std::string &source, const std::string &target) {
    RecoveredItem item{source, target, true, sys::Status(), nullptr};
    // A folder merges into a folder only: anything else of that name stays, and nothing of the
    // folder is written.
    if (auto there = sys::stat(target, sys::FollowLinks::No); there && !S_ISDIR(there->st_mode)) {
        item.status = sys::Status::refusal(EEXIST, target, "already exists and is not a folder");
        return item;
    }
    if (liesInside(target, source)) {
        item.status = sys::Status::failure(EINVAL, "copy into itself", target);
        return item;
    }
    item.worker = CopyFileUtil::create(CopyThreadType::Copy, source, target, Visibility::Visible, _center);
    if (_workerStarting)
        _workerStarting(item.worker);
    item.worker->startThread(_runLoop);
    return item;
}

std::vector<RecoveredItem> CacheRecovery::recoverItems(const std::vector<BrowserItem> &rows,
                                                       const std::string &destination) {
    std::vector<RecoveredItem> items;
    // An existing folder is used as it is.
    (void)sys::mkdir(destination, 0777);
    for (const BrowserItem &row : rows) {
        const std::string target = sys::joinPath(destination, recoveredName(row));
        if (isFolder(row.pathToItem)) {
            items.push_back(startFolderCopy(row.pathToItem, target));
            continue;
        }
        items.push_back(copyFile(row.pathToItem, target));
        if (!items.back().status && rows.size() == 1 && _failureLog == FailureLog::StandardError)
            sys::logLine("Error copying file " + row.pathToItem + " in " + destination);
    }
    return items;
}

std::vector<std::string> CacheRecovery::dropItems(const std::vector<BrowserItem> &rows, const std::string &destination,
                                                  ProtectionSwitch &protection, std::vector<RecoveredItem> *items) {
    std::vector<std::string> names;
    const bool restart = protection.isRunning();
    if (restart)
        (void)protection.stopForCacheWork();
    for (const BrowserItem &row : rows) {
        names.push_back(sys::lastPathComponent(row.pathToItem));
        if (row.pathToItem.empty() || !sys::exists(row.pathToItem))
            continue;
        const std::string visible = recoveredName(row);
        if (isFolder(row.pathToItem)) {
            std::string target = visible;
            for (unsigned n = 1; sys::exists(sys::joinPath(destination, target)); ++n)
                target = visible + "-" + std::to_string(n);
            RecoveredItem item = startFolderCopy(row.pathToItem, sys::joinPath(destination, target));
            if (items)
                items->push_back(std::move(item));
            continue;
        }
        std::optional<std::string> reserved;
        (void)uniqueFileNameInFolder(destination, deletingPathExtension(visible),
                                     pathExtension(row.itemName.value_or(names.back())), &reserved,
                                     DeleteAfterwards::Yes);
        if (!reserved)
            continue;
        RecoveredItem item = copyFile(row.pathToItem, sys::joinPath(destination, *reserved));
        if (!item.status)
            sys::logLine("Problem with folder drag and drop, try again.");
        if (items)
            items->push_back(std::move(item));
    }
    if (restart)
        protection.startAfterCacheWork();
    return names;
}

} // namespace quillet
