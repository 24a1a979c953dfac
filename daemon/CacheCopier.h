#pragma once
// Archiving one trash entry: the admission test, then a copy (or a move) into the date folder
// of the current minute in the cache folder, under the entry's hidden name.
//
// Everything is done relative to folders opened and checked first: the trash folder by the
// caller, the cache folder and the date folder here, each a real folder of this user (never a
// symbolic link, never another account's). A folder swapped for a link meanwhile is never
// followed, and nothing is ever written outside the user's own cache.
//
// What the browser sees is always whole: a file is written unnamed and linked in; a folder is
// assembled under a temporary name (sys::partialName) and given its name once complete. A
// second item of a name already archived in the same minute takes the next free name
// (numberedName: "Report-1.pdf"). A folder copy that cannot be written (the volume full) leaves
// nothing; parts of a folder that cannot be read are left out, named in the log, and the rest
// is archived.

#include "control/DaemonCommandLine.h"
#include "platform/System.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::daemon {

class CacheCopier {
public:
    /// trashCacheFolder ends in "/"; mode is the raw mode number (0 copy, 1 move, anything
    /// else archives nothing).
    CacheCopier(std::string trashCacheFolder, CacheMode dataCacheMode, uint64_t maxCacheSize);

    /// Admission test, then copyDataToCache. Refuses a file larger than sizeLimit (0: none),
    /// an entry that would leave less than minimumFreePercentage of the volume free (0 or less:
    /// no minimum; a file's size counted, and for a folder what it holds that would be copied),
    /// and the system's own executables. The entry is name in the trash folder opened as
    /// trashFd; trashFolder (ending in "/") names that folder in messages. True when archived.
    bool copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                              uint64_t sizeLimit, int64_t minimumFreePercentage);
    /// The same for an entry whose status (links not followed) the caller just read.
    bool copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                              const struct stat &entry, uint64_t sizeLimit, int64_t minimumFreePercentage);
    /// Copies or moves the entry into the current date folder. True when archived; storedName()
    /// then says under which name. A move across file systems copies, then removes the entry
    /// once its copy is complete.
    bool copyDataToCache(int trashFd, const std::string &trashFolder, const std::string &name);
    /// Lets go of the cache and date folders that the entries of one scan shared (the calls
    /// above keep them open from one entry to the next, checked once).
    void endScan();
    /// The same for the entry at path, whose folder is opened as it is (nothing is kept open).
    bool copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage);
    bool copyDataToCache(const std::string &path);

    /// Why the last entry was not archived, one of the texts of NotArchived.h (empty once an
    /// entry was archived). A failed copy has named its cause in the log already.
    const std::string &refusal() const { return _refusal; }

    /// The name the last archived entry took in its date folder, and that folder's name.
    const std::string &storedName() const { return _storedName; }
    const std::string &dateFolderName() const { return _dateFolderName; }

    /// Gives every item below the folder name of parentFd, at every depth, its hidden name
    /// exactly once; the folder keeps its own name. Nothing that is already there is ever
    /// replaced, links are never followed, and the folders keep their modes and modification
    /// times (the index knows an archived folder by it). rootMode: the folder's own mode, when
    /// it was unlocked before this call.
    static void scrambleFolderHierarchy(int parentFd, const std::string &name,
                                        std::optional<mode_t> rootMode = std::nullopt);
    /// The same for the folder at path.
    static void scrambleFolderHierarchy(const std::string &folder);

    const std::string &trashCacheFolder() const { return _trashCacheFolder; }

private:
    /// copyDataToCache of an entry whose status (links not followed) was just read.
    bool copyEntryToCache(int trashFd, const std::string &trashFolder, const std::string &name, const struct stat &st);
    /// Notes reason as the refusal; answers false.
    bool refuse(std::string_view reason);
    /// How a folder copy ended.
    enum class FolderCopy { Complete, PartsLeftOut, Failed };
    /// Copies the folder name of sourceParent into a new folder of destinationParent under a
    /// temporary name, skipping sub-folders named ".Spotlight…" and files of limit bytes or more
    /// (limit 0: none), naming every item in its hidden form, then gives it the first free
    /// numbered form of destinationName. Links are copied as links. What cannot be read is left
    /// out and logged; when anything cannot be written the temporary folder is removed.
    FolderCopy copyFolder(int sourceParent, const std::string &name, int destinationParent,
                          const std::string &destinationName, uint64_t limit);
    /// Copies one folder level (relative to the roots) and returns the sub-folders to copy next.
    void copyFolderCore(const std::string &relative, std::vector<std::string> &pending);
    std::string destinationFor(const std::string &relative) const;
    bool copyEntry(int trashFd, const std::string &name, const struct stat &st, int dateFd,
                   const std::string &dateFolder, const std::string &hiddenName, bool completeOnly);
    bool moveToCache(int trashFd, const std::string &name, const struct stat &st, int dateFd,
                     const std::string &dateFolder, const std::string &hiddenName);
    /// A part of a folder that could not be read: logged, and the copy goes on without it.
    void leftOut(const sys::Status &why);
    /// A part that could not be written: logged, and the copy is abandoned.
    void noteFailure(const sys::Status &why);
    /// Bytes of what a copy of the folder would hold (files under the size limit), counted no
    /// further than cap.
    /// The trash volume's figures: those kept in this scan while recent, unless fresh is asked.
    sys::Result<sys::VolumeFigures> volumeFiguresFor(int trashFd, bool fresh);
    /// Why these figures leave no room for the entry (empty: room enough). size is the entry's;
    /// a folder's is counted here.
    std::string_view roomRefusal(const sys::VolumeFigures &figures, int trashFd, const std::string &name,
                                 const struct stat &st, uint64_t &size, int64_t minimumFreePercentage);
    static uint64_t folderBytes(int trashFd, const std::string &name, uint64_t sizeLimit, uint64_t cap);

    std::string _trashCacheFolder;
    CacheMode _dataCacheMode;
    uint64_t _maxCacheSize;
    std::string _storedName;
    std::string _dateFolderName;
    std::string _refusal;
    // The folders the entries of the current scan share (endScan).
    sys::Fd _scanCache;
    sys::Fd _scanDate;
    std::string _scanDateName;
    // The trash volume's figures as last read in this scan, less what was archived since.
    std::optional<sys::VolumeFigures> _scanFigures;
    int64_t _scanFiguresAt = 0;
    bool _figuresFresh = false;

    // State of the folder copy in progress: the two roots, opened, and the names for messages.
    sys::Fd _rootFolder;
    sys::Fd _destinationFolder;
    std::string _rootShown;
    std::string _destinationShown;
    bool _makeInvisible = true;
    uint64_t _singleFileSizeLimit = 0;
    bool _writeFailed = false;
    bool _partsLeftOut = false;
    /// Folders the copy created (relative to the destination root), with the modes and times of
    /// their sources, given back once the copy is complete (writing into a folder changes its
    /// times; filling it needs the owner's write bit).
    struct FolderTimes {
        std::string relative;
        mode_t mode;
        struct timespec times[2];
    };
    std::vector<FolderTimes> _createdFolders;
    /// Files of the folder with more than one name, by identity: where the first was copied
    /// (relative to the destination root).
    std::map<std::pair<dev_t, ino_t>, std::string> _linkedFiles;
};

/// True for the names of the system's own programs, which are never archived.
bool isOwnExecutableName(const std::string &name);

} // namespace quillet::daemon
