#pragma once
// Where archived items came from. A freedesktop.org trash keeps, beside files/<name>, the file
// info/<name>.trashinfo:
//
//   [Trash Info]
//   Path=/home/user/Documents/Report%20final.pdf     percent-encoded; on another volume
//   DeletionDate=2026-12-08T10:15:00                  relative to the volume's top folder
//
// quilletd keeps that information with the archive, in one file per date folder, named
// ".quillet-trashinfo" (an internal name: no reader shows it as an item), in the same key-file
// form with a group per stored name:
//
//   [.x_Report%20final.pdf]                           the stored name, percent-encoded
//   Path=/home/user/Documents/Report%20final.pdf      as the .trashinfo had it
//   DeletionDate=2026-12-08T10:15:00
//
// Stored names are percent-encoded in group headers (every byte that is not printable ASCII,
// and "%", "[", "]"), so that any name (a newline, bytes that are not UTF-8) has a header of one
// line. The file is replaced atomically and never larger than kMaxTrashInfoStoreBytes; it goes
// with its date folder.

#include "platform/System.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

inline constexpr std::string_view kTrashInfoStoreName = ".quillet-trashinfo";
/// A store larger than this is not one we wrote; it reads as empty.
inline constexpr size_t kMaxTrashInfoStoreBytes = 16u * 1024 * 1024;
/// A .trashinfo file larger than this is not one a trash client wrote.
inline constexpr size_t kMaxTrashInfoBytes = 64 * 1024;

/// The trash information of one item, its values as the .trashinfo file holds them.
struct TrashInfo {
    std::string path;         ///< percent-encoded; absolute, or relative to the volume's top folder
    std::string deletionDate; ///< "YYYY-MM-DDThh:mm:ss", local time, as written
    bool operator==(const TrashInfo &) const = default;
};

/// Stored name → trash information.
using TrashInfoStore = std::map<std::string, TrashInfo>;

/// The information a .trashinfo text holds: nothing unless it has a "[Trash Info]" group with a
/// Path. Lines of other groups and unknown keys are ignored.
std::optional<TrashInfo> parseTrashInfo(std::string_view text);
/// The text of a store, and the store a text holds (groups without a Path are left out; a text
/// that is no store reads as an empty one).
std::string formatTrashInfoStore(const TrashInfoStore &store);
TrashInfoStore parseTrashInfoStore(std::string_view text);

/// Percent-encoding of the key-file headers and of freedesktop.org paths: every byte that is
/// not printable ASCII, and those in alsoEncode, become "%XX".
std::string percentEncode(std::string_view bytes, std::string_view alsoEncode = "%");
/// The bytes a percent-encoded text stands for ("%" not followed by two hex digits stays).
std::string percentDecode(std::string_view text);

/// The store of the open date folder (empty when it has none or it cannot be read).
TrashInfoStore readTrashInfoStore(int dateFolderFd);
/// Adds entries to the store of the open date folder (replacing those of the same stored
/// names), written atomically; the folder names it in a failure.
sys::Status addToTrashInfoStore(int dateFolderFd, const std::string &dateFolder, const TrashInfoStore &entries);

/// Where the item of the stored name came from, as an absolute path: the store's Path decoded,
/// joined to topFolder (the volume's top folder, the cache folder's parent) when it is
/// relative. Nothing when the store does not know the item.
std::optional<std::string> originalPathOf(const TrashInfoStore &store, const std::string &storedName,
                                          const std::string &topFolder);

} // namespace quillet
