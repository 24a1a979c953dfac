#include "CacheEmptying.h"

#include "CacheFolders.h"
#include "platform/ItemLock.h"
#include "platform/Log.h"
#include "platform/RemoveTree.h"
#include "platform/TrustedFolder.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace quillet {

std::vector<std::string> CacheEmptying::pathsToEmpty(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                                     const std::vector<BrowserItem> &selection) {
    std::vector<std::string> paths;
    switch (scope) {
    case EmptyScope::Everything:
        for (const std::string &cache : cacheFolders) {
            // A cache folder that is not there has nothing to empty; one that is a link or
            // another account's is not this user's to empty.
            auto folder = sys::openOwnedFolder(cache);
            if (!folder)
                continue;
            (void)sys::forEachEntry(folder->get(), [&](std::string_view name, unsigned char) {
                paths.push_back(sys::joinPath(cache, name));
                return true;
            });
        }
        break;
    case EmptyScope::Selection:
        for (const BrowserItem &row : selection)
            if (!row.isEmpty())
                paths.push_back(row.pathToItem);
        break;
    }
    return paths;
}

std::vector<DeletedItem> CacheEmptying::emptyCaches(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                                    const std::vector<BrowserItem> &selection,
                                                    ProtectionSwitch &protection) {
    const bool restart = protection.isRunning();
    _protectionOutlivedStop = restart && !protection.stopForCacheWork();
    // Listed only now: a stopping quilletd may still have written its index.
    std::vector<DeletedItem> deleted = deleteItems(cacheFolders, pathsToEmpty(scope, cacheFolders, selection));
    if (restart)
        protection.startAfterCacheWork();
    return deleted;
}

std::vector<DeletedItem> CacheEmptying::deleteItems(const std::vector<std::string> &cacheFolders,
                                                    const std::vector<std::string> &paths) {
    if (deleteThreadRunning())
        return {};
    _deleteThreadRunning = true;
    std::vector<DeletedItem> deleted;
    deleted.reserve(paths.size());
    // The folders holding what went to workers stay open until the workers end: the workers
    // reach their folders through them, whatever happens to the paths meanwhile.
    std::vector<sys::Fd> heldFolders;
    for (size_t i = 0; i < paths.size(); ++i) {
        DeletedItem item{paths[i], sys::Status(), false};
        // Reached through the cache folder and its date folder as they are now, each a real
        // folder of the user's: nothing outside the cache is ever deleted.
        auto entry = openEntryInCache(cacheFolders, paths[i]);
        if (!entry) {
            // Gone with a folder deleted before it is what was wanted too.
            item.status = entry.code() == ENOENT ? sys::Status() : entry.status();
        } else if (auto st = sys::statAt(entry->folder.get(), entry->name, sys::FollowLinks::No); !st) {
            // Nothing there (any more) is what was wanted.
            item.status = st.code() == ENOENT ? sys::Status() : st.status();
        } else if (S_ISDIR(st->st_mode) && st->st_uid != ::getuid()) {
            item.status = sys::checkOwnedFolder(*st, paths[i]);
        } else if (item.status = sys::removeTree(entry->folder.get(), entry->name); !item.status) {
            sys::unlockItemAt(entry->folder.get(), entry->name);
            if (S_ISDIR(st->st_mode)) {
                const std::string anchored =
                    "/proc/self/fd/" + std::to_string(entry->folder.get()) + "/" + entry->name;
                auto worker = DeleteFolderUtil::create(anchored, RemoveRoot::Yes, _center);
                _workers.add(worker);
                worker->startThread(_runLoop);
                item.handedToWorker = true;
                heldFolders.push_back(std::move(entry->folder));
            } else if (item.status = sys::unlinkAt(entry->folder.get(), entry->name); !item.status) {
                sys::logLine("Quillet: Error deleteItemsThread: " + item.path);
            }
        }
        deleted.push_back(std::move(item));
        if (_itemDone)
            _itemDone(i, paths.size(), paths[i]);
    }
    // Protection must not start again while a worker still removes items from the cache.
    while (!_runLoop.runUntil([this] { return _workers.empty(); }, std::chrono::hours(1))) {
    }
    for (DeletedItem &item : deleted) {
        if (!item.handedToWorker)
            continue;
        auto entry = openEntryInCache(cacheFolders, item.path);
        item.status = entry ? sys::removeTree(entry->folder.get(), entry->name)
                            : (entry.code() == ENOENT ? sys::Status() : entry.status());
    }
    _deleteThreadRunning = false;
    return deleted;
}

} // namespace quillet
