#include "CopyFileUtil.h"

#include "platform/FileCopy.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <thread>

namespace quillet {
namespace {

constexpr std::chrono::milliseconds kProgressInterval{250};
/// At most this many threads copy the folders of one tree.
constexpr unsigned kMaxCopiers = 4;
/// Folders whose names begin with this hold a volume's search index: never worth copying.
constexpr std::string_view kSpotlightPrefix = ".Spotlight";

bool isSpotlightFolderName(std::string_view name) { return name.starts_with(kSpotlightPrefix); }

/// Moves the item fromName of the folder open as fromDir to toName in the folder open as toDir,
/// which must not hold it yet. Across volumes, where a rename cannot go, the item is copied and
/// the original removed once the copy is complete. from and to are the two paths, for messages.
/// Fails, leaving the item where it was, when it cannot go (EEXIST: the name is taken).
sys::Status moveItemAt(int fromDir, const std::string &fromName, int toDir, const std::string &toName,
                       const std::string &from, const std::string &to) {
    sys::Status status = sys::renameNoReplace(fromDir, fromName, toDir, toName);
    if (status || status.code() != EXDEV)
        return status;
    sys::Status copied = sys::copyItemAt(fromDir, fromName, nullptr, toDir, toName, from, to);
    if (copied)
        (void)sys::unlinkAt(fromDir, fromName);
    return copied;
}

/// Creates the folder path with whatever parents it lacks; what exists is left as it is.
void makeFolderWithParents(const std::string &path) {
    if (path.empty() || sys::stat(path, sys::FollowLinks::No))
        return;
    const std::string parent = sys::parentPath(path);
    if (parent != path)
        makeFolderWithParents(parent);
    (void)sys::mkdir(path, 0755);
}

} // namespace

CopyFileUtil::CopyFileUtil(CopyThreadType type, Source source, std::string destination, Visibility nameForm,
                           NotificationCenter &center)
    : _destinationFolder(std::move(destination)), _nameForm(nameForm), _threadType(type), _center(&center) {
    if (auto *single = std::get_if<std::string>(&source))
        _rootItem = std::move(*single);
    else
        _rootItemsArray = std::move(std::get<std::vector<std::string>>(source));
}

std::shared_ptr<CopyFileUtil> CopyFileUtil::create(CopyThreadType type, Source source, std::string destination,
                                                   Visibility nameForm, NotificationCenter &center) {
    const bool single = std::holds_alternative<std::string>(source);
    if ((type == CopyThreadType::Copy || type == CopyThreadType::Move) && !single)
        return nullptr;
    if ((type == CopyThreadType::CopyList || type == CopyThreadType::MoveList) && single)
        return nullptr;
    return std::shared_ptr<CopyFileUtil>(
        new CopyFileUtil(type, std::move(source), std::move(destination), nameForm, center));
}

std::string CopyFileUtil::setFileName(std::string_view name, bool visibleInFinder) {
    return quillet::setFileName(name, visibleInFinder ? Visibility::Visible : Visibility::Hidden);
}

void CopyFileUtil::startThread(RunLoop &runLoop) {
    _paused = false;
    _cancelled = false;
    Job job;
    switch (_threadType) {
    case CopyThreadType::Copy:
    case CopyThreadType::CopyList:
        job = Job::Copy;
        break;
    case CopyThreadType::Move:
    case CopyThreadType::MoveList:
        job = Job::Move;
        break;
    default:
        cancelThread();
        return;
    }
    std::shared_ptr<CopyFileUtil> self = shared_from_this();
    detachWorkerThread([self, job] { self->threadBody(job); });
    runLoop.scheduleRepeating(kProgressInterval, [self] { return self->timerRefresh(); });
}

void CopyFileUtil::pauseThread() {
    _paused = true;
    post(kThreadPausedNotification);
}

void CopyFileUtil::continueThread() {
    {
        std::lock_guard lock(_pauseMutex);
        _paused = false;
    }
    _pauseChanged.notify_all();
}

void CopyFileUtil::cancelThread() {
    {
        std::lock_guard lock(_pauseMutex);
        _cancelled = true;
        _paused = false;
    }
    _pauseChanged.notify_all();
    post(kCancelledNotification);
}

bool CopyFileUtil::timerRefresh() {
    if (_cancelled)
        return false;
    _center->post(kStatsNotification, _progress.load());
    return true;
}

void CopyFileUtil::post(const char *name) { _center->post(name, this); }

bool CopyFileUtil::cancelledAfterPause() {
    std::unique_lock lock(_pauseMutex);
    // Woken at once by continueThread and cancelThread; the time-out only bounds the wait
    // should a flag change without a wake-up.
    while (_paused && !_cancelled)
        _pauseChanged.wait_for(lock, std::chrono::seconds(1));
    return _cancelled;
}

void CopyFileUtil::countDone(uint64_t size) {
    // The copiers of a tree count at once: each sum is stored with the progress it gives, so
    // that the last one stored is the total.
    std::lock_guard lock(_countMutex);
    _sizeDone += size;
    // An empty source has nothing left to do: all of it is done.
    _progress = _totalSize == 0 ? 100.0 : static_cast<double>(_sizeDone) * 100.0 / static_cast<double>(_totalSize);
}

std::vector<CopyFailure> CopyFileUtil::failures() const {
    std::lock_guard lock(_failuresMutex);
    return _failures;
}

void CopyFileUtil::fail(const std::string &source, const std::string &target, sys::Status status) {
    std::lock_guard lock(_failuresMutex);
    _failures.push_back(CopyFailure{source, target, std::move(status)});
}

void CopyFileUtil::threadBody(Job job) {
    std::vector<std::string> sources =
        _threadType == CopyThreadType::Copy || _threadType == CopyThreadType::Move ? std::vector{_rootItem}
                                                                                   : _rootItemsArray;
    for (const std::string &source : sources) {
        if (_cancelled)
            break; // the remaining sources of a cancelled list have nothing to do
        if (!sys::stat(source, sys::FollowLinks::Yes)) {
            post(kErrorNotification);
            _cancelled = true;
            return;
        }
        _rootItem = source;
        _progress = 0;
        _totalSize = _internalUtil.getFolderSize(_rootItem);
        _sizeDone = 0;
        (void)core(job, _rootItem, _destinationFolder, true);
    }
    _cancelled = true;
    post(kThreadFinishedNotification);
}

bool CopyFileUtil::prepareFolder(Folders &folders, const struct stat &st, bool withParents) {
    const auto taken = [&](const struct stat &there) {
        if (S_ISDIR(there.st_mode))
            return true; // merged into, and left as it was
        fail(folders.source, folders.target,
             sys::Status::refusal(EEXIST, folders.target, "already exists and is not a folder"));
        return false;
    };
    if (auto there = sys::stat(folders.target, sys::FollowLinks::No))
        return taken(*there);
    if (withParents)
        makeFolderWithParents(sys::parentPath(folders.target));
    // The owner keeps full access to what is written for them, as the archive gave it.
    sys::Status made = sys::mkdir(folders.target, (st.st_mode & 07777) | S_IRWXU);
    if (!made && made.code() == EEXIST) {
        // Made meanwhile by someone else: theirs, not ours to finish.
        if (auto there = sys::stat(folders.target, sys::FollowLinks::No))
            return taken(*there);
    }
    if (!made) {
        fail(folders.source, folders.target, sys::Status::failure(made.code(), "mkdir", folders.target));
        return false;
    }
    folders.created = true;
    folders.mode = st.st_mode & 07777;
    folders.times[0] = st.st_atim;
    folders.times[1] = st.st_mtim;
    return true;
}

void CopyFileUtil::finishFolders(const std::vector<Folders> &created) {
    // Nothing is written into these folders any more: what they hold is complete, so their
    // times stay as set. The mode is set again, the umask aside, as a whole-item copy keeps it
    // (a read-only folder comes back read-only).
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        auto target = sys::openDirectory(it->target, sys::FollowLinks::No);
        if (!target)
            continue;
        if (auto source = sys::openDirectory(it->source, sys::FollowLinks::No))
            sys::copyExtendedAttributes(source->get(), target->get());
        (void)sys::fchmod(target->get(), it->mode);
        (void)sys::futimens(target->get(), it->times);
    }
}

bool CopyFileUtil::core(Job job, const std::string &source, const std::string &target, bool atRoot) {
    if (atRoot) {
        // What the destination already holds counts as done: a recovery into a folder that
        // already has part of the content finishes at (or beyond) 100.
        _sizeDone = _internalUtil.getFolderSize(target);
    }
    if (cancelledAfterPause())
        return false;
    Folders folders{source, target};
    auto st = sys::stat(source, atRoot ? sys::FollowLinks::Yes : sys::FollowLinks::No);
    if (!st) {
        if (st.code() != ENOENT) // gone meanwhile: contributes nothing
            fail(source, target, sys::Status::failure(st.code(), "stat", source));
        return true;
    }
    // The destination's parents too: a recovery into a folder that is not there yet would
    // otherwise write nothing and still end as finished.
    if (!prepareFolder(folders, *st, atRoot))
        return true; // nothing of this folder can go; the others still may
    if (job == Job::Copy && atRoot) {
        std::vector<Folders> created;
        // A list fills one destination from several sources: none of them owns its times.
        if (folders.created && _threadType == CopyThreadType::Copy)
            created.push_back(folders);
        const bool done = copyTree(source, target, created);
        finishFolders(created);
        return done;
    }

    if (!copyEntries(job, source, target, nullptr))
        return false;
    if (job == Job::Move) {
        auto left = sys::countDirectoryEntries(source);
        if (left && *left == 0)
            (void)sys::unlinkAt(AT_FDCWD, source, true);
    }
    return true;
}

bool CopyFileUtil::copyTree(const std::string &source, const std::string &target, std::vector<Folders> &created) {
    // Copying small files is one system call after another in the kernel, and two folders can
    // be written at the same time: the folders of the tree are shared out among a few threads
    // (at most kMaxCopiers, one per CPU). Each takes the folder found last, so that a single
    // thread still goes depth first. A folder is made by the thread that takes it, before its
    // entries, and was queued by the one that copied its parent, so its parent exists. A move
    // stays on one thread: it removes each emptied folder after its sub-folders.
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<Folders> pending{Folders{source, target}};
    unsigned busy = 0;
    bool stopped = false;
    auto copyFolders = [&] {
        for (;;) {
            Folders folders;
            {
                std::unique_lock lock(mutex);
                ready.wait(lock, [&] { return stopped || !pending.empty() || busy == 0; });
                if (stopped || pending.empty())
                    return;
                folders = std::move(pending.back());
                pending.pop_back();
                ++busy;
            }
            std::vector<Folders> found;
            bool done = true;
            bool writable = true;
            if (folders.source != source) {
                // A sub-folder: as core does for one. Its status was read when it was found.
                if (cancelledAfterPause())
                    done = false;
                else
                    writable = prepareFolder(folders, folders.found, false);
            }
            if (done && writable)
                done = copyEntries(Job::Copy, folders.source, folders.target, &found);
            {
                std::lock_guard lock(mutex);
                --busy;
                stopped = stopped || !done;
                if (folders.created)
                    created.push_back(std::move(folders));
                // Reversed, so that they are taken in listing order.
                std::move(found.rbegin(), found.rend(), std::back_inserter(pending));
            }
            ready.notify_all();
        }
    };
    const unsigned copiers = std::min(kMaxCopiers, std::max(1u, std::thread::hardware_concurrency()));
    {
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < copiers; ++i)
            helpers.emplace_back(copyFolders);
        copyFolders();
    }
    return !stopped;
}

bool CopyFileUtil::copyEntries(Job job, const std::string &source, const std::string &target,
                               std::vector<Folders> *subFolders) {
    // Every entry is read, copied or moved relative to the source and target folders, opened
    // once here: a folder of many small files would otherwise walk both full paths several
    // times per file. The names are taken before anything is written, as a listing would.
    auto opened = sys::openDirectory(source);
    std::vector<std::string> names;
    sys::Status listed = opened ? sys::forEachEntry(opened->get(), [&names](std::string_view name, unsigned char) {
        names.emplace_back(name);
        return true;
    })
                                : opened.status();
    if (!listed) {
        fail(source, target, sys::Status::failure(listed.code(), "open", source));
        return true;
    }
    sys::Fd sourceDir = std::move(*opened);
    // Where the target cannot be opened nothing can be written into it: the folder is one
    // failure, and its files still count as done, as failed copies do.
    sys::Fd targetDir;
    if (auto openedTarget = sys::openDirectory(target, sys::FollowLinks::No))
        targetDir = std::move(*openedTarget);
    else
        fail(source, target, sys::Status::failure(openedTarget.code(), "open", target));
    for (const std::string &entryName : names) {
        if (cancelledAfterPause())
            return false;
        const std::string name = quillet::setFileName(entryName, _nameForm);
        const std::string from = sys::joinPath(source, entryName);
        // ".x_", ".x_." and ".x_.." have no visible form that names an entry of their own:
        // written as is they would land on the target folder itself or on its parent.
        if (name.empty() || name == "." || name == "..") {
            fail(from, target, sys::Status::refusal(EINVAL, from, "has no name of its own to be written under"));
            continue;
        }
        const std::string to = sys::joinPath(target, name);
        auto st = sys::statAt(sourceDir.get(), entryName, sys::FollowLinks::No);
        if (!st) {
            if (st.code() != ENOENT) // gone meanwhile: contributes nothing
                fail(from, to, sys::Status::failure(st.code(), "stat", from));
            continue;
        }
        if (S_ISDIR(st->st_mode)) {
            if (isSpotlightFolderName(entryName))
                continue;
            if (!targetDir.valid())
                continue; // its parent already failed
            if (subFolders) {
                Folders found{from, to};
                found.found = *st;
                subFolders->push_back(std::move(found));
                continue;
            }
            // Both folders are let go while the sub-folder is done and opened again after
            // it, so that a deep tree holds no more descriptors than a shallow one.
            sourceDir.reset();
            targetDir.reset();
            if (!core(job, from, to, false))
                return false;
            if (auto reopened = sys::openDirectory(source))
                sourceDir = std::move(*reopened);
            if (auto reopened = sys::openDirectory(target, sys::FollowLinks::No))
                targetDir = std::move(*reopened);
            continue;
        }
        const auto size = static_cast<uint64_t>(std::max<off_t>(st->st_size, 0));
        if (job == Job::Copy) {
            // An existing target is left as it is, and found before any data is read; a failed
            // copy leaves nothing behind.
            if (targetDir.valid()) {
                sys::Status copied = sys::statAt(targetDir.get(), name, sys::FollowLinks::No)
                                         ? sys::Status::failure(EEXIST, "copy", to)
                                     : linkToEarlierCopy(*st, targetDir.get(), name)
                                         ? sys::Status()
                                         : sys::copyItemAt(sourceDir.get(), entryName, &*st, targetDir.get(), name,
                                                           from, to);
                if (!copied)
                    fail(from, to, copied.code() == EEXIST ? sys::Status::refusal(EEXIST, to, "already exists")
                                                            : std::move(copied));
                else if (S_ISREG(st->st_mode) && st->st_nlink > 1)
                    rememberCopy(*st, to);
            }
        } else {
            if (_singleFileSizeLimit != 0 && size >= _singleFileSizeLimit)
                continue;
            if (targetDir.valid()) {
                sys::Status moved = moveItemAt(sourceDir.get(), entryName, targetDir.get(), name, from, to);
                if (!moved)
                    fail(from, to, moved.code() == EEXIST ? sys::Status::refusal(EEXIST, to, "already exists")
                                                           : std::move(moved));
            }
        }
        countDone(size);
    }
    return true;
}

bool CopyFileUtil::linkToEarlierCopy(const struct stat &st, int targetDir, const std::string &name) {
    if (!S_ISREG(st.st_mode) || st.st_nlink < 2)
        return false;
    std::string first;
    {
        std::lock_guard lock(_linksMutex);
        auto found = _copiesOfLinkedFiles.find({st.st_dev, st.st_ino});
        if (found == _copiesOfLinkedFiles.end())
            return false;
        first = found->second;
    }
    return sys::linkAt(AT_FDCWD, first, targetDir, name, 0).ok();
}

void CopyFileUtil::rememberCopy(const struct stat &st, const std::string &target) {
    std::lock_guard lock(_linksMutex);
    _copiesOfLinkedFiles.try_emplace({st.st_dev, st.st_ino}, target);
}

} // namespace quillet
