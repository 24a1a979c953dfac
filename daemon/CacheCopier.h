#pragma once
// Archiving one trash entry: the admission test, then a copy (or a move) into the date folder
// of the current minute in the cache folder, under the entry's hidden name.

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
    /// entry's own size counted), and the system's own executables. True when archived.
    bool copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage);
    /// Copies or moves the entry into the current date folder. True when archived.
    bool copyDataToCache(const std::string &path);

    /// Copies the folder source into destination (created when missing), skipping sub-folders
    /// named ".Spotlight…" and files of limit bytes or more (limit 0: none), naming every item
    /// in its hidden form unless visibleNames. Links are copied as links. False when anything
    /// that was to be copied could not be (the deliberate skips above are not failures, nor
    /// are sockets, which hold no data); what could be copied stays copied.
    bool copyFolder(const std::string &source, const std::string &destination, uint64_t limit, bool visibleNames);
    /// Gives every item below folder, at every depth, its hidden name exactly once; the folder
    /// keeps its own name. Nothing that is already there is ever replaced, and the folders keep
    /// their modification times (the index knows an archived folder by it).
    static void scrambleFolderHierarchy(const std::string &folder);

    const std::string &trashCacheFolder() const { return _trashCacheFolder; }

private:
    /// Copies one folder level (_rootFolder + relative) and returns the sub-folders to copy next.
    void copyFolderCore(const std::string &relative, std::vector<std::string> &pending);
    std::string destinationFor(const std::string &relative) const;
    bool moveToCache(const std::string &path, const std::string &dateFolder, const std::string &hiddenName,
                     bool isFolder);
    void flushCacheVolume() const;

    std::string _trashCacheFolder;
    int32_t _dataCacheMode;
    uint64_t _maxCacheSize;

    // State of the folder copy in progress.
    std::string _rootFolder;
    std::string _destinationFolder;
    bool _makeInvisible = true;
    uint64_t _singleFileSizeLimit = 0;
    bool _copyFailed = false;
    /// Folders the copy created, with the times of their sources, given back once the copy
    /// is complete (writing into a folder changes its times).
    struct FolderTimes {
        std::string path;
        struct timespec times[2];
    };
    std::vector<FolderTimes> _createdFolders;
};

/// True for the names of the system's own programs, which are never archived.
bool isOwnExecutableName(const std::string &name);

} // namespace quillet::daemon
