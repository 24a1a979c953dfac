#include "jobs/CopyFileUtil.h"

#include "platform/FileCopy.h"
#include "platform/FolderBelow.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <iterator>
#include <optional>
#include <thread>

namespace quillet {
namespace {

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
    // The copy is on disk before the original goes: a crash in between must not leave neither.
    if (copied && sys::syncfs(toDir))
        (void)sys::unlinkAt(fromDir, fromName);
    return copied;
}

/// The status (links not followed) of the entry at relative below the open folder root.
sys::Result<struct stat> statBelow(int root, const std::string &relative) {
    std::optional<sys::Result<struct stat>> found;
    sys::Status reached = sys::atEntryBelow(root, relative, [&found](int folder, const std::string &name) {
        found.emplace(sys::statAt(folder, name, sys::FollowLinks::No));
        return found->status();
    });
    if (found)
        return std::move(*found);
    return reached;
}

sys::Status alreadyExists(const std::string &target) { return sys::Status::refusal(EEXIST, target, "already exists"); }

} // namespace

CopyFileUtil::CopyFileUtil(CopyThreadType type, Source source, std::string destination, Visibility nameForm)
    : _destinationFolder(std::move(destination)), _nameForm(nameForm), _threadType(type) {
    if (auto *single = std::get_if<std::string>(&source))
        _rootItem = std::move(*single);
    else
        _rootItemsArray = std::move(std::get<std::vector<std::string>>(source));
}

std::shared_ptr<CopyFileUtil> CopyFileUtil::create(CopyThreadType type, Source source, std::string destination,
                                                   Visibility nameForm, NotificationCenter *center) {
    const bool single = std::holds_alternative<std::string>(source);
    if ((type == CopyThreadType::Copy || type == CopyThreadType::Move) && !single)
        return nullptr;
    if ((type == CopyThreadType::CopyList || type == CopyThreadType::MoveList) && single)
        return nullptr;
    std::shared_ptr<CopyFileUtil> worker(new CopyFileUtil(type, std::move(source), std::move(destination), nameForm),
                                         Job::Joiner());
    if (center)
        worker->addObserver(std::make_shared<JobNotifications>(kNotificationNames, worker->id(), *center));
    return worker;
}

std::string CopyFileUtil::setFileName(std::string_view name, bool visibleInFinder) {
    return quillet::setFileName(name, visibleInFinder ? Visibility::Visible : Visibility::Hidden);
}

bool CopyFileUtil::startable() {
    switch (_threadType) {
    case CopyThreadType::Copy:
    case CopyThreadType::CopyList:
    case CopyThreadType::Move:
    case CopyThreadType::MoveList:
        return true;
    }
    cancelThread();
    return false;
}

void CopyFileUtil::countDone(uint64_t size) {
    // The copiers of a tree count at once: each sum is stored with the progress it gives, so
    // that the last one stored is the total.
    std::lock_guard lock(_countMutex);
    _sizeDone += size;
    // An empty source has nothing left to do: all of it is done.
    setProgress(_totalSize == 0 ? 100.0 : static_cast<double>(_sizeDone) * 100.0 / static_cast<double>(_totalSize));
}

std::vector<CopyFailure> CopyFileUtil::failures() const {
    std::lock_guard lock(_failuresMutex);
    return _failures;
}

void CopyFileUtil::fail(const std::string &source, const std::string &target, sys::Status status) {
    std::lock_guard lock(_failuresMutex);
    _failures.push_back(CopyFailure{source, target, std::move(status)});
}

std::string CopyFileUtil::sourcePath(const std::string &relative) const {
    return relative.empty() ? _rootItem : sys::joinPath(_rootItem, relative);
}

std::string CopyFileUtil::targetPath(const std::string &relative) const {
    return relative.empty() ? _destinationFolder : sys::joinPath(_destinationFolder, relative);
}

JobEnd CopyFileUtil::run() {
    const Kind kind =
        _threadType == CopyThreadType::Copy || _threadType == CopyThreadType::CopyList ? Kind::Copy : Kind::Move;
    const std::vector<std::string> sources =
        _threadType == CopyThreadType::Copy || _threadType == CopyThreadType::Move ? std::vector{_rootItem}
                                                                                   : _rootItemsArray;
    JobEnd end = JobEnd::Finished;
    for (size_t i = 0; i < sources.size(); ++i) {
        ItemOutcome outcome{i, sources[i], _destinationFolder, true, sys::Status(), {}};
        if (end != JobEnd::Finished || cancelRequested()) {
            // The remaining sources of a cancelled or failed list are not worked on.
            outcome.status = sys::Status::refusal(ECANCELED, sources[i], "not copied");
            itemDone(outcome);
            continue;
        }
        if (auto there = sys::stat(sources[i], sys::FollowLinks::Yes); !there) {
            outcome.status = sys::Status::failure(there.code(), "stat", sources[i]);
            itemDone(outcome);
            end = JobEnd::Failed;
            continue;
        }
        _rootItem = sources[i];
        setProgress(0);
        _totalSize = _internalUtil.getFolderSize(_rootItem);
        _sizeDone = 0;
        const size_t failedBefore = failures().size();
        if (!copySource(kind, _rootItem))
            outcome.status = sys::Status::refusal(ECANCELED, sources[i], "cancelled");
        const std::vector<CopyFailure> all = failures();
        outcome.failures.assign(all.begin() + static_cast<std::ptrdiff_t>(failedBefore), all.end());
        itemDone(outcome);
        if (cancelRequested())
            end = JobEnd::Cancelled;
    }
    return end;
}

bool CopyFileUtil::copySource(Kind kind, const std::string &source) {
    // What the destination already holds counts as done: a recovery into a folder that already
    // has part of the content finishes at (or beyond) 100.
    _sizeDone = _internalUtil.getFolderSize(_destinationFolder);
    if (cancelledAfterPause())
        return false;
    auto st = sys::stat(source, sys::FollowLinks::Yes);
    if (!st) {
        if (st.code() != ENOENT) // gone meanwhile: contributes nothing
            fail(source, _destinationFolder, sys::Status::failure(st.code(), "stat", source));
        return true;
    }
    Folders root;
    // The destination's parents too: a recovery into a folder that is not there yet would
    // otherwise write nothing and still end as finished.
    if (!prepareFolder(root, *st))
        return true; // nothing of this folder can go; the others still may
    // Both folders are opened once; everything below is reached relative to them, at any depth.
    auto sourceRoot = sys::openDirectory(source, sys::FollowLinks::Yes);
    if (!sourceRoot) {
        fail(source, _destinationFolder, sys::Status::failure(sourceRoot.code(), "open", source));
        return true;
    }
    auto targetRoot = sys::openDirectory(_destinationFolder, sys::FollowLinks::No);
    if (!targetRoot) {
        fail(source, _destinationFolder, sys::Status::failure(targetRoot.code(), "open", _destinationFolder));
        return true;
    }
    _sourceRoot = std::move(*sourceRoot);
    _targetRoot = std::move(*targetRoot);
    bool done = true;
    if (kind == Kind::Copy) {
        std::vector<Folders> created;
        // A list fills one destination from several sources: none of them owns its times.
        if (root.created && _threadType == CopyThreadType::Copy)
            created.push_back(root);
        done = copyTree(created);
        finishFolders(created);
    } else if (copyEntries(Kind::Move, root, nullptr)) {
        auto left = sys::countOpenDirectoryEntries(_sourceRoot.get());
        if (left && *left == 0)
            (void)sys::unlinkAt(AT_FDCWD, source, true);
    } else {
        done = false;
    }
    _sourceRoot.reset();
    _targetRoot.reset();
    return done;
}

bool CopyFileUtil::prepareFolder(Folders &folders, const struct stat &st) {
    const std::string source = sourcePath(folders.source);
    const std::string target = targetPath(folders.target);
    const bool isRoot = folders.target.empty();
    const auto taken = [&](const struct stat &there) {
        if (S_ISDIR(there.st_mode))
            return true; // merged into, and left as it was
        fail(source, target, sys::Status::refusal(EEXIST, target, "already exists and is not a folder"));
        return false;
    };
    const auto statTarget = [&] {
        return isRoot ? sys::stat(target, sys::FollowLinks::No) : statBelow(_targetRoot.get(), folders.target);
    };
    if (auto there = statTarget())
        return taken(*there);
    if (isRoot)
        (void)sys::makeDirectories(sys::parentPath(target), 0755); // a failure shows in the mkdir below
    // The owner keeps full access to what is written for them, as the archive gave it.
    const mode_t mode = (st.st_mode & 07777) | S_IRWXU;
    sys::Status made = isRoot ? sys::mkdir(target, mode)
                              : sys::atEntryBelow(_targetRoot.get(), folders.target,
                                                  [mode](int folder, const std::string &name) {
                                                      return sys::mkdirAt(folder, name, mode);
                                                  });
    if (!made && made.code() == EEXIST) {
        // Made meanwhile by someone else: theirs, not ours to finish.
        if (auto there = statTarget())
            return taken(*there);
    }
    if (!made) {
        fail(source, target, sys::Status::failure(made.code(), "mkdir", target));
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
    // (a read-only folder comes back read-only). The deepest come first: setting a folder's
    // times before its sub-folders' would see them changed again.
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        auto target = sys::openFolderBelow(_targetRoot.get(), it->target);
        if (!target)
            continue;
        if (auto source = sys::openFolderBelow(_sourceRoot.get(), it->source))
            sys::copyExtendedAttributes(source->get(), target->get());
        (void)sys::fchmod(target->get(), it->mode);
        (void)sys::futimens(target->get(), it->times);
    }
}

bool CopyFileUtil::moveFolder(Folders folders) {
    if (cancelledAfterPause())
        return false;
    if (!prepareFolder(folders, folders.found))
        return true; // nothing of this folder can go; the others still may
    if (!copyEntries(Kind::Move, folders, nullptr))
        return false;
    if (auto source = sys::openFolderBelow(_sourceRoot.get(), folders.source)) {
        auto left = sys::countOpenDirectoryEntries(source->get());
        source->reset();
        if (left && *left == 0)
            (void)sys::atEntryBelow(_sourceRoot.get(), folders.source, [](int folder, const std::string &name) {
                return sys::unlinkAt(folder, name, true);
            });
    }
    return true;
}

bool CopyFileUtil::copyTree(std::vector<Folders> &created) {
    // Copying small files is one system call after another in the kernel, and two folders can
    // be written at the same time: the folders of the tree are shared out among a few threads
    // (at most kMaxCopiers, one per CPU). Each takes the folder found last, so that a single
    // thread still goes depth first. A folder is made by the thread that takes it, before its
    // entries, and was queued by the one that copied its parent, so its parent exists. A move
    // stays on one thread: it removes each emptied folder after its sub-folders.
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<Folders> pending{Folders{}};
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
            if (!folders.source.empty()) {
                // A sub-folder: its status was read when it was found.
                if (cancelledAfterPause())
                    done = false;
                else
                    writable = prepareFolder(folders, folders.found);
            }
            if (done && writable)
                done = copyEntries(Kind::Copy, folders, &found);
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
        // Joined before the tree counts as copied.
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < copiers; ++i)
            helpers.emplace_back(copyFolders);
        copyFolders();
    }
    return !stopped;
}

bool CopyFileUtil::copyEntries(Kind kind, const Folders &folders, std::vector<Folders> *subFolders) {
    // Every entry is read, copied or moved relative to the source and target folders, opened
    // once here. The names are taken before anything is written, as a listing would.
    const std::string source = sourcePath(folders.source);
    const std::string target = targetPath(folders.target);
    auto opened = sys::openFolderBelow(_sourceRoot.get(), folders.source);
    auto listed = opened ? sys::entryNames(*opened, sys::EntryOrder::AsListed)
                         : sys::Result<std::vector<std::string>>(opened.status());
    if (!listed) {
        fail(source, target, sys::Status::failure(listed.code(), "open", source));
        return true;
    }
    const std::vector<std::string> names = std::move(*listed);
    sys::Fd sourceDir = std::move(*opened);
    // Where the target cannot be opened nothing can be written into it: the folder is one
    // failure, and its files still count as done, as failed copies do.
    sys::Fd targetDir;
    if (auto openedTarget = sys::openFolderBelow(_targetRoot.get(), folders.target))
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
            Folders found;
            found.source = sys::joinPath(folders.source, entryName);
            found.target = sys::joinPath(folders.target, name);
            found.found = *st;
            if (subFolders) {
                subFolders->push_back(std::move(found));
                continue;
            }
            // Both folders are let go while the sub-folder is done and opened again after
            // it, so that a deep tree holds no more descriptors than a shallow one.
            sourceDir.reset();
            targetDir.reset();
            if (!moveFolder(std::move(found)))
                return false;
            if (auto reopened = sys::openFolderBelow(_sourceRoot.get(), folders.source))
                sourceDir = std::move(*reopened);
            if (auto reopened = sys::openFolderBelow(_targetRoot.get(), folders.target))
                targetDir = std::move(*reopened);
            continue;
        }
        const auto size = static_cast<uint64_t>(std::max<off_t>(st->st_size, 0));
        if (kind == Kind::Copy) {
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
                    fail(from, to, copied.code() == EEXIST ? alreadyExists(to) : std::move(copied));
                else if (S_ISREG(st->st_mode) && st->st_nlink > 1)
                    rememberCopy(*st, sys::joinPath(folders.target, name));
            }
        } else {
            if (_singleFileSizeLimit != 0 && size >= _singleFileSizeLimit)
                continue;
            if (targetDir.valid()) {
                sys::Status moved = moveItemAt(sourceDir.get(), entryName, targetDir.get(), name, from, to);
                if (!moved)
                    fail(from, to, moved.code() == EEXIST ? alreadyExists(to) : std::move(moved));
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
    return sys::atEntryBelow(_targetRoot.get(), first, [&](int folder, const std::string &firstName) {
               return sys::linkAt(folder, firstName, targetDir, name, 0);
           })
        .ok();
}

void CopyFileUtil::rememberCopy(const struct stat &st, const std::string &target) {
    std::lock_guard lock(_linksMutex);
    _copiesOfLinkedFiles.try_emplace({st.st_dev, st.st_ino}, target);
}

} // namespace quillet
