#pragma once
// Getting archived items back: the Recover command (the selected browser rows copied into a
// folder the user chose) and a drop of rows onto a folder of the file manager, each a job
// (Job.h) that never blocks its caller. Every restored item takes the visible form of its name;
// plain files (and links, copied as links) are copied one after the other on the job's thread,
// folders are handed to copy workers (child jobs, CopyFileUtil) that fill them meanwhile.
// Neither ever replaces an existing file: the Recover command fails that file, a drop picks a
// free name ("Report-2.pdf", "Pics-1").
//
// Each row is an item with one final outcome (ItemOutcome: source = the row's pathToItem, target
// = where its copy goes): a file's as soon as it is copied; a folder's once its worker has ended,
// with what the worker left out (failures), after the files, in row order. A folder that is no
// longer in the cache fails with "the folder is no longer in the cache" as the reason of a
// refusal about the row itself. Progress: the share of the rows done, a folder at a worker
// counting with the worker's own progress. The workers post the copy worker's notifications,
// which drive a front end's progress sheet.

#include "browser/BrowserItem.h"
#include "jobs/CopyFileUtil.h"
#include "jobs/Job.h"
#include "support/NotificationCenter.h"
#include "control/ProtectionControl.h"
#include "platform/System.h"

#include <atomic>
#include <memory>
#include <mutex>
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

class CacheRecovery : public Job {
public:
    /// The Recover command once the user chose destination, not started yet: creates that folder
    /// (an existing one is used as it is; its parent must exist), then for each row in order
    /// copies a plain file to destination/<recoveredName>, never over an existing item, or
    /// starts a copy worker that fills destination/<recoveredName> with the folder's content
    /// under visible names, merging with a folder already there without replacing what it
    /// holds. A folder whose name is taken by anything but a folder fails at once with EEXIST,
    /// and no worker starts. A row whose entry is gone fails as a file copy. A failed file copy
    /// is logged as "Error copying file <path> in <destination>" when it is the only row.
    /// Protection is left as it is. The workers post to center (nothing when it is null), which
    /// must outlive the job.
    static std::shared_ptr<CacheRecovery> recoverItems(std::vector<BrowserItem> rows, std::string destination,
                                                       NotificationCenter *center = &NotificationCenter::defaultCenter());

    /// A drop of rows onto the folder destination, not started yet: running protection is
    /// stopped first (a StopProtectionJob) and started again once every plain file is copied
    /// (folder workers may still run). A row whose entry is gone fails with ENOENT and nothing is
    /// written for it. A folder goes to the first free name of N, N-1, N-2, ...; a file to the
    /// name uniqueFileNameInFolder reserves from N's base and the item name's extension; a
    /// failed file copy writes "Problem with folder drag and drop, try again." to standard
    /// error. protection must outlive the job.
    static std::shared_ptr<CacheRecovery> dropItems(std::vector<BrowserItem> rows, std::string destination,
                                                    ProtectionSwitch &protection,
                                                    NotificationCenter *center = &NotificationCenter::defaultCenter());
    /// The names a drop hands the file manager at once: the stored names of the rows (their last
    /// path components), in order.
    static std::vector<std::string> promisedNames(const std::vector<BrowserItem> &rows);

    /// FailureLog::None: the front end reports every failure itself (a command line, whose
    /// standard error is the user's). Before startThread.
    void setFailureLog(FailureLog log) { _failureLog = log; }

    /// The outcome of each row, in row order; complete once the job has ended (a row not
    /// reached after a cancellation fails with ECANCELED).
    std::vector<ItemOutcome> items() const;

protected:
    JobEnd run() override;
    double currentProgress() const override;

private:
    enum class Mode { Recover, Drop };
    CacheRecovery(Mode mode, std::vector<BrowserItem> rows, std::string destination, ProtectionSwitch *protection,
                  NotificationCenter *center);

    /// A folder row handed to a worker (or refused before one started), reported once the
    /// files are done.
    struct FolderCopy {
        ItemOutcome outcome;
        std::shared_ptr<CopyFileUtil> worker;
    };
    ItemOutcome copyFile(size_t index, const std::string &source, const std::string &target);
    FolderCopy startFolderCopy(size_t index, const std::string &source, const std::string &target);
    /// Goes through the rows: files copied and reported, folders handed to workers.
    std::vector<FolderCopy> recoverRows();
    std::vector<FolderCopy> dropRows();
    /// Waits for the folders' workers and reports them, in row order.
    void finishFolders(std::vector<FolderCopy> &folders);
    void done(ItemOutcome outcome);

    Mode _mode;
    std::vector<BrowserItem> _rows;
    std::string _destination;
    ProtectionSwitch *_protection;
    NotificationCenter *_center;
    FailureLog _failureLog = FailureLog::StandardError;
    std::atomic<size_t> _rowsDone{0};
    /// Rows whose outcome was reported (the job's thread only).
    std::vector<bool> _reported;
    mutable std::mutex _itemsMutex;
    std::vector<ItemOutcome> _items;
};

} // namespace quillet
