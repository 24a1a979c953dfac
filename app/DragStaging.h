#pragma once
// The private folder in which the copies handed to a file manager by a drag are prepared: a
// new folder "quillet-drag-XXXXXX" of mode 0700 in $XDG_RUNTIME_DIR (a folder of this user that
// other accounts cannot enter, emptied at logout; never /tmp, where names can be taken over).
// The file manager copies from it after the drop, so it stays until the next drag or the end of
// the program. While it lives, its owner holds an exclusive flock on it: a program starting up
// removes only the staging folders nobody holds, those a crashed run left behind.

#include "platform/System.h"

#include <optional>
#include <string>
#include <vector>

namespace quillet::app {

class DragStaging {
public:
    /// What every staging folder's name begins with.
    static constexpr const char *kNamePrefix = "quillet-drag-";

    /// The folder staging folders are made in: $XDG_RUNTIME_DIR, or nothing when it is not set
    /// (or not an absolute path).
    static std::optional<std::string> runtimeFolder();

    /// Makes a new staging folder in runtimeFolder, which must be a folder of this user (never
    /// a link), and locks it.
    static sys::Result<DragStaging> create(const std::string &runtimeFolder);

    /// Removes the staging folders in runtimeFolder that this user owns and no running program
    /// holds, never following a link. Answers how many were removed; failures are collected in
    /// problems when given.
    static int removeLeftovers(const std::string &runtimeFolder, std::vector<sys::Status> *problems = nullptr);

    DragStaging(DragStaging &&) = default;
    DragStaging &operator=(DragStaging &&) = default;
    ~DragStaging() = default;

    /// The staging folder's full path.
    const std::string &path() const { return _path; }
    /// Removes the folder with all it holds, through the runtime folder opened at creation and
    /// only while the entry there is still this very folder. Further calls do nothing.
    sys::Status remove();
    bool removed() const { return !_folder.valid(); }

private:
    DragStaging(sys::Fd runtime, sys::Fd folder, std::string name, std::string path)
        : _runtime(std::move(runtime)), _folder(std::move(folder)), _name(std::move(name)), _path(std::move(path)) {}

    sys::Fd _runtime;
    /// The staging folder itself, holding the lock.
    sys::Fd _folder;
    std::string _name;
    std::string _path;
};

} // namespace quillet::app
