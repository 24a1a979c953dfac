#include "DragStaging.h"

#include "platform/RemoveTree.h"
#include "platform/TrustedFolder.h"

#include <cerrno>

namespace quillet::app {

std::optional<std::string> DragStaging::runtimeFolder() {
    std::optional<std::string> runtime = sys::environmentValue("XDG_RUNTIME_DIR");
    if (!runtime || runtime->empty() || runtime->front() != '/')
        return std::nullopt;
    while (runtime->size() > 1 && runtime->back() == '/')
        runtime->pop_back();
    return runtime;
}

sys::Result<DragStaging> DragStaging::create(const std::string &runtimeFolder) {
    sys::Result<sys::Fd> runtime = sys::openOwnedFolder(runtimeFolder);
    if (!runtime)
        return runtime.status();
    const std::string base = runtimeFolder == "/" ? std::string() : runtimeFolder;
    sys::Result<std::string> made = sys::makeTemporaryFolder(base + "/" + kNamePrefix + "XXXXXX");
    if (!made)
        return made.status();
    const std::string name = made->substr(base.size() + 1);
    sys::Result<sys::Fd> folder = sys::openOwnedFolderAt(*runtime, name, *made);
    if (!folder)
        return folder.status();
    sys::Result<bool> locked = sys::tryLockExclusive(*folder);
    if (!locked || !*locked) {
        // Nobody else knows the new name yet: a lock held elsewhere means it is not ours.
        return locked ? sys::Status::refusal(EBUSY, *made, "locked by another program") : locked.status();
    }
    return DragStaging(std::move(*runtime), std::move(*folder), name, *made);
}

int DragStaging::removeLeftovers(const std::string &runtimeFolder, std::vector<sys::Status> *problems) {
    auto note = [problems](sys::Status status) {
        if (problems)
            problems->push_back(std::move(status));
    };
    sys::Result<sys::Fd> runtime = sys::openOwnedFolder(runtimeFolder);
    if (!runtime) {
        if (runtime.code() != ENOENT)
            note(runtime.status());
        return 0;
    }
    sys::Result<std::vector<std::string>> names = sys::entryNames(*runtime, sys::EntryOrder::Sorted);
    if (!names) {
        note(names.status());
        return 0;
    }
    int removed = 0;
    for (const std::string &name : *names) {
        if (name.rfind(kNamePrefix, 0) != 0)
            continue;
        // Only a real folder of this user; a link or another account's entry is left alone.
        sys::Result<sys::Fd> folder = sys::openOwnedFolderAt(*runtime, name);
        if (!folder) {
            if (folder.code() != ENOENT)
                note(folder.status());
            continue;
        }
        sys::Result<bool> free = sys::tryLockExclusive(*folder);
        if (!free) {
            note(free.status());
            continue;
        }
        if (!*free) // a running program's drag
            continue;
        if (sys::Status gone = sys::removeTree(*runtime, name); gone)
            ++removed;
        else
            note(gone);
    }
    return removed;
}

sys::Status DragStaging::remove() {
    if (!_folder.valid())
        return {};
    sys::Result<sys::Fd> now = sys::openOwnedFolderAt(_runtime, _name, _path);
    if (!now) {
        if (now.code() == ENOENT) {
            _folder.reset();
            return {};
        }
        return now.status();
    }
    sys::Result<struct stat> mine = sys::fstat(_folder);
    sys::Result<struct stat> there = sys::fstat(*now);
    if (!mine)
        return mine.status();
    if (!there)
        return there.status();
    if (mine->st_dev != there->st_dev || mine->st_ino != there->st_ino)
        return sys::Status::refusal(EEXIST, _path, "no longer the staging folder made for the drag");
    sys::Status gone = sys::removeTree(_runtime, _name);
    if (gone)
        _folder.reset();
    return gone;
}

} // namespace quillet::app
