#pragma once
// Archiving one trash entry: the admission test, then a copy (or a move) into the date folder
// of the current minute in the cache folder, under the entry's hidden name.
//
// Everything is done relative to folders opened and checked first: the trash folder by the
// caller, the cache folder and the date folder here, each a real folder of this user (never a
// symbolic link, never another account's). A folder swapped for a link meanwhile is never
// followed, and nothing is ever written outside the user's own cache.

#include "platform/System.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace quillet::daemon {

enum class CacheMode : int32_t { Copy = 0, Move = 1 };

class CacheCopier {
public:
    /// trashCacheFolder ends in "/"; mode is the raw mode number (0 copy, 1 move, anything
    /// else archives nothing).
    CacheCopier(std::string trashCacheFolder, int32_t dataCacheMode, uint64_t maxCacheSize);

    /// Admission test, then copyDataToCache. Refuses a file larger than sizeLimit (0: none),
    /// an entry that would leave less than minimumFreePercentage of the volume free (the
    /// entry's own size counted; 0 or less: no minimum), and the system's own executables.
    /// The entry is name in the trash folder opened as trashFd; trashFolder (ending in "/")
    /// names that folder in messages. True when archived.
    bool copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                              uint64_t sizeLimit, int64_t minimumFreePercentage);
    /// Copies or moves the entry into the current date folder. True when archived.
    bool copyDataToCache(int trashFd, const std::string &trashFolder, const std::string &name);
    /// The same for the entry at path, whose folder is opened as it is.
    bool copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage);
    bool copyDataToCache(const std::string &path);

    /// Gives every item below the folder name of parentFd, at every depth, its hidden name
    /// exactly once; the folder keeps its own name. Nothing that is already there is ever
    /// replaced, links are never followed, and the folders keep their modification times (the
    /// index knows an archived folder by it).
    static void scrambleFolderHierarchy(int parentFd, const std::string &name);
    /// The same for the folder at path.
    static void scrambleFolderHierarchy(const std::string &folder);

    const std::string &trashCacheFolder() const { return _trashCacheFolder; }

private:
    /// Copies the folder name of sourceParent into the new folder destinationName of
    /// destinationParent, skipping sub-folders named ".Spotlight…" and files of limit bytes or
    /// more (limit 0: none), naming every item in its hidden form. Links are copied as links.
    /// False when anything that was to be copied could not be (the deliberate skips above are
    /// not failures, nor are sockets, which hold no data); what could be copied stays copied.
    bool copyFolder(int sourceParent, const std::string &name, int destinationParent,
                    const std::string &destinationName, uint64_t limit);
    /// Copies one folder level (relative to the roots) and returns the sub-folders to copy next.
    void copyFolderCore(const std::string &relative, std::vector<std::string> &pending);
    std::string destinationFor(const std::string &relative) const;
    bool moveToCache(int trashFd, const std::string &name, int dateFd, const std::string &dateFolder,
                     const std::string &hiddenName);
    void flushCacheVolume() const;

    std::string _trashCacheFolder;
    int32_t _dataCacheMode;
    uint64_t _maxCacheSize;

    // State of the folder copy in progress: the two roots, opened, and the names for messages.
    sys::Fd _rootFolder;
    sys::Fd _destinationFolder;
    std::string _rootShown;
    std::string _destinationShown;
    bool _makeInvisible = true;
    uint64_t _singleFileSizeLimit = 0;
    bool _copyFailed = false;
    /// Folders the copy created (relative to the destination root), with the times of their
    /// sources, given back once the copy is complete (writing into a folder changes its times).
    struct FolderTimes {
        std::string relative;
        struct timespec times[2];
    };
    std::vector<FolderTimes> _createdFolders;
};

/// True for the names of the system's own programs, which are never archived.
bool isOwnExecutableName(const std::string &name);

} // namespace quillet::daemon
