#pragma once
// Getting archived items back: the Recover command (the selected browser rows copied into a
// folder the user chose) and a drop of rows onto a folder of the file manager. Every restored
// item takes the visible form of its name; plain files (and links, copied as links) are copied
// at once on the calling thread, folders are handed to copy workers that fill them in the
// background. Neither ever replaces an existing file: the Recover command fails that file, a
// drop picks a free name ("Report-2.pdf", "Pics-1").
//
// The front end owns what is shown meanwhile: it observes the copy workers' notifications
// (CopyFileUtil.h) for its progress display and hears of each plain file through a callback.

#include "BrowserItem.h"
#include "CopyFileUtil.h"
#include "NotificationCenter.h"
#include "ProtectionControl.h"
#include "RunLoop.h"
#include "platform/System.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

/// The extension of a file name: what follows its last dot, unless that dot is the name's first
/// or last character ("Report.pdf" → "pdf", "archive.tar.gz" → "gz", ".bashrc" and "notes." → "").
std::string_view pathExtension(std::string_view name);
/// The name without its extension and that extension's dot ("Report.pdf" → "Report").
std::string_view deletingPathExtension(std::string_view name);

/// The name a restored copy of the row takes: the visible form of its stored name (the last
/// component of pathToItem, its ".x_" prefix taken off once); for a name stored without the
/// prefix (a day row, a name too long for it) the row's item name (a day row's date text), else
/// its shown name, else the stored name. A stored name whose visible form names no entry of its
/// own (".x_", ".x_.", ".x_..") is kept as it is.
std::string recoveredName(const BrowserItem &item);

enum class DeleteAfterwards { No, Yes };

/// Finds a file name that is free in folder: base (then base-1, base-2, ...) with ".extension"
/// when extension is not empty, by creating the file exclusively (O_EXCL, mode 0666 before the
/// umask), so that two callers never get the same name. A name that exists moves on to the
/// next; any other failure ends the search.
/// - DeleteAfterwards::Yes: the file made is removed again; *name receives the last name tried
///   (also after a failure other than "exists") and no descriptor is returned.
/// - DeleteAfterwards::No: answers the open descriptor and the name, or an invalid descriptor
///   and no name on failure.
sys::Fd uniqueFileNameInFolder(const std::string &folder, std::string_view base, std::string_view extension,
                               std::optional<std::string> *name, DeleteAfterwards deleteAfterwards);

/// Whether recoverItems writes its line about a failed single file to standard error.
enum class FailureLog { StandardError, None };

/// What became of one row.
struct RecoveredItem {
    std::string source; ///< the row's pathToItem
    std::string target; ///< where its copy goes
    bool isFolder = false;
    /// A plain file: the copy's outcome. A folder: the worker's start (its end is reported by
    /// its notifications); the worker is kept here.
    sys::Status status;
    std::shared_ptr<CopyFileUtil> worker;
};

class CacheRecovery {
public:
    /// Called on the calling thread right after each plain file was copied (or failed).
    using FileCopied = std::function<void(const RecoveredItem &)>;
    /// Called right before a folder's worker starts: the moment to start waiting for it.
    using WorkerStarting = std::function<void(const std::shared_ptr<CopyFileUtil> &)>;

    /// Workers report progress on runLoop and post to center.
    explicit CacheRecovery(RunLoop &runLoop, NotificationCenter &center = NotificationCenter::defaultCenter())
        : _runLoop(runLoop), _center(center) {}

    void setFileCopiedCallback(FileCopied callback) { _fileCopied = std::move(callback); }
    void setWorkerStartingCallback(WorkerStarting callback) { _workerStarting = std::move(callback); }
    /// FailureLog::None: the front end reports every failure itself (a command line, whose
    /// standard error is the user's).
    void setFailureLog(FailureLog log) { _failureLog = log; }

    /// The Recover command, once the user chose destination: creates that folder (an existing
    /// one is used as it is; its parent must exist), then for each row in order copies a plain
    /// file to destination/<recoveredName>, never over an existing item, or starts a copy worker
    /// that fills destination/<recoveredName> with the folder's content under visible names,
    /// merging with a folder already there without replacing what it holds (what it left out
    /// is in the worker's failures()). A folder whose name is taken by anything but a folder
    /// fails at once with EEXIST, and no worker starts. A row whose entry is gone fails as a
    /// file copy. A failed file copy is logged as "Error copying file <path>
    /// in <destination>" when it is the only row. Protection is left as it is.
    std::vector<RecoveredItem> recoverItems(const std::vector<BrowserItem> &rows, const std::string &destination);

    /// A drop of rows onto the folder destination: running protection is stopped first and
    /// started again once every plain file is copied (folder workers may still run). Rows whose
    /// entry is gone are skipped. A folder goes to the first free name of N, N-1, N-2, ...; a
    /// file to the name uniqueFileNameInFolder reserves from N's base and the item name's
    /// extension; a failed file copy writes "Problem with folder drag and drop, try again." to
    /// standard error. Answers the stored names of the rows (their last path components), for
    /// the file manager; items receives what became of each row copied.
    std::vector<std::string> dropItems(const std::vector<BrowserItem> &rows, const std::string &destination,
                                       ProtectionSwitch &protection, std::vector<RecoveredItem> *items = nullptr);

private:
    RecoveredItem copyFile(const std::string &source, const std::string &target);
    RecoveredItem startFolderCopy(const std::string &source, const std::string &target);

    RunLoop &_runLoop;
    NotificationCenter &_center;
    FileCopied _fileCopied;
    WorkerStarting _workerStarting;
    FailureLog _failureLog = FailureLog::StandardError;
};

} // namespace quillet
