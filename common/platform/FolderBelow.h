#pragma once
// Reaching what lies below an open folder at any depth. A folder may be nested deeper than any
// path can name (PATH_MAX): a path below a walk's root shorter than kLongRelativePath is opened
// in one call, a longer one a folder at a time (then through no symbolic link on the way).

#include "platform/System.h"

#include <cstddef>
#include <string>

namespace quillet::sys {

/// Relative paths at least this long are walked one folder at a time.
constexpr size_t kLongRelativePath = 2048;

/// Opens the folder at relative below the open folder root (root itself again when relative is
/// empty), never through a symbolic link at its end, at any depth.
Result<Fd> openFolderBelow(int root, const std::string &relative);

/// Runs action(folder, name) on the entry at relative below the open folder root: in one call
/// (root, relative) while the path is short, else on the last name in its folder, opened as
/// openFolderBelow opens it. Answers what action answers, or why the folder could not be opened.
template <typename Action>
Status atEntryBelow(int root, const std::string &relative, Action action) {
    if (relative.size() < kLongRelativePath)
        return action(root, relative);
    auto parent = openFolderBelow(root, parentPath(relative));
    if (!parent)
        return parent.status();
    return action(parent->get(), lastPathComponent(relative));
}

} // namespace quillet::sys
