#include "platform/TrustedFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quillet::sys {
namespace {

std::string shown(std::string_view shownPath, FdRef dir, const std::string &name) {
    return shownPath.empty() ? dir.pathOf(name) : std::string(shownPath);
}

Status checkFolderShape(const struct stat &st, std::string_view shownPath) {
    if (S_ISLNK(st.st_mode))
        return Status::refusal(ELOOP, shownPath, "a symbolic link, not a folder");
    if (!S_ISDIR(st.st_mode))
        return Status::refusal(ENOTDIR, shownPath, "not a folder");
    return {};
}

/// Opens the entry without following a link and judges what was opened with check, so that a
/// folder swapped for something else between a look and the use can never slip through. When
/// the open fails, a look at the entry tells why in the user's words where it can. The folder
/// opened is known by shownPath from then on.
template <typename Check>
Result<Fd> openCheckedFolderAt(FdRef dir, const std::string &name, const std::string &shownPath, Check check) {
    auto folder = openAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!folder) {
        if (folder.code() == ELOOP || folder.code() == ENOTDIR || folder.code() == EACCES) {
            if (auto st = statAt(dir, name, FollowLinks::No)) {
                if (Status judged = check(*st, shownPath); !judged)
                    return judged;
            }
        }
        return Status::failure(folder.code(), "open", shownPath);
    }
    auto opened = fstat(folder->get());
    if (!opened)
        return Status::failure(opened.code(), "fstat", shownPath);
    if (Status judged = check(*opened, shownPath); !judged)
        return judged;
    return Fd(folder->release(), shownPath);
}

} // namespace

Status checkOwnedFolder(const struct stat &st, std::string_view shownPath) {
    if (Status shape = checkFolderShape(st, shownPath); !shape)
        return shape;
    if (st.st_uid != ::getuid())
        return Status::refusal(EPERM, shownPath,
                               "belongs to another account (uid " + std::to_string(st.st_uid) + ")");
    return {};
}

Result<Fd> openOwnedFolderAt(FdRef dir, const std::string &name, std::string_view shownPath) {
    return openCheckedFolderAt(dir, name, shown(shownPath, dir, name), checkOwnedFolder);
}

Result<Fd> openOwnedFolder(const std::string &path) {
    // A trailing slash would make the kernel follow a final link: it is never part of the name.
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    return openOwnedFolderAt(AT_FDCWD, name, name);
}

namespace {

/// Opens the components of relative in turn from dir, each with open(current, component, shown).
template <typename OpenOne>
Result<Fd> openEachComponent(FdRef dir, std::string_view relative, std::string_view shownBase, OpenOne openOne) {
    std::string shownPath = shownBase.empty() ? std::string(dir.path) : std::string(shownBase);
    auto current = openAt(dir, ".", O_RDONLY | O_DIRECTORY);
    if (!current)
        return Status::failure(current.code(), "open", shownPath);
    current = Fd(current->release(), shownPath);
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos)
            end = relative.size();
        if (end > start) {
            std::string component(relative.substr(start, end - start));
            shownPath = joinPath(shownPath, component);
            if (component == "." || component == "..")
                return Status::refusal(EINVAL, shownPath, "not a plain folder name");
            auto next = openOne(*current, component, shownPath);
            if (!next)
                return next;
            current = std::move(next);
        }
        start = end + 1;
    }
    return current;
}

} // namespace

Result<Fd> openOwnedPathAt(FdRef dir, std::string_view relative, std::string_view shownBase) {
    return openEachComponent(dir, relative, shownBase, [](FdRef folder, const std::string &name, std::string_view shown) {
        return openOwnedFolderAt(folder, name, shown);
    });
}

Result<Fd> openPathWithoutLinksAt(FdRef dir, std::string_view relative, std::string_view shownBase) {
    return openEachComponent(dir, relative, shownBase, [](FdRef folder, const std::string &name, std::string_view shown) {
        return openCheckedFolderAt(folder, name, std::string(shown), checkFolderShape);
    });
}

Result<Fd> openStickyFolderAt(FdRef dir, const std::string &name, std::string_view shownPath) {
    return openCheckedFolderAt(dir, name, shown(shownPath, dir, name), [](const struct stat &st, std::string_view path) {
        if (Status shape = checkFolderShape(st, path); !shape)
            return shape;
        if (!(st.st_mode & S_ISVTX))
            return Status::refusal(EPERM, path, "not sticky: any user could replace what it holds");
        return Status();
    });
}

} // namespace quillet::sys
