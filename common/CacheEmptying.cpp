#include "CacheEmptying.h"

#include "platform/ItemLock.h"
#include "platform/RemoveTree.h"

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
            auto entries = sys::listDirectory(cache);
            if (!entries)
                continue; // a cache folder that is not there has nothing to empty
            for (const sys::DirEntry &entry : *entries)
                paths.push_back(sys::joinPath(cache, entry.name));
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
    std::vector<DeletedItem> deleted = deleteItems(pathsToEmpty(scope, cacheFolders, selection));
    if (restart)
        protection.startAfterCacheWork();
    return deleted;
}

std::vector<DeletedItem> CacheEmptying::deleteItems(const std::vector<std::string> &paths) {
    if (deleteThreadRunning())
        return {};
    _deleteThreadRunning = true;
    std::vector<DeletedItem> deleted;
    deleted.reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        DeletedItem item{paths[i], sys::removeTreeAtPath(paths[i]), false};
        if (!item.status) {
            auto st = sys::stat(item.path, sys::FollowLinks::No);
            if (!st) {
                // Nothing there (any more) is what was wanted.
                item.status = st.code() == ENOENT ? sys::Status() : st.status();
            } else {
                sys::unlockItemAtPath(item.path);
                if (S_ISDIR(st->st_mode)) {
                    auto worker = DeleteFolderUtil::create(item.path, RemoveRoot::Yes, _center);
                    _workers.add(worker);
                    worker->startThread(_runLoop);
                    item.handedToWorker = true;
                } else if (item.status = sys::unlink(item.path); !item.status) {
                    std::fprintf(stderr, "Quillet: Error deleteItemsThread: %s\n", item.path.c_str());
                }
            }
        }
        deleted.push_back(std::move(item));
        if (_itemDone)
            _itemDone(i, paths.size(), paths[i]);
    }
    // Protection must not start again while a worker still removes items from the cache.
    while (!_runLoop.runUntil([this] { return _workers.empty(); }, std::chrono::hours(1))) {
    }
    for (DeletedItem &item : deleted)
        if (item.handedToWorker)
            item.status = sys::exists(item.path) ? sys::removeTreeAtPath(item.path) : sys::Status();
    _deleteThreadRunning = false;
    return deleted;
}

} // namespace quillet
