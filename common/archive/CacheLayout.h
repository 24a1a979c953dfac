#pragma once
// The on-disk layout shared by every program: cache folders, date folders named after the
// minute of capture, hidden item names and the marker files.
//
//   <home or volume root>/.TrashCacheFolder/           (mode 0700)
//       2008-03-14 15_42 +0100/                         one date folder per minute of capture
//           .x_Report.pdf                                archived items under their hidden name,
//           .x_Photos/.x_img.jpg                         ".x_" at every depth
//       ArchivedFileData                                 the archive index (ArchiveFile.h)
//       UPD_FLAG, UPD_FLAG_CACHE_MANAGER                 empty marker files: the cache changed

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

inline constexpr std::string_view kCacheFolderName = ".TrashCacheFolder";
inline constexpr std::string_view kIndexFileName = "ArchivedFileData";
inline constexpr std::string_view kUpdateFlagName = "UPD_FLAG";
inline constexpr std::string_view kCacheManagerFlagName = "UPD_FLAG_CACHE_MANAGER";
inline constexpr std::string_view kHiddenPrefix = ".x_";
/// Date-folder names are always this long ("2008-03-14 15_42 +0100").
inline constexpr size_t kDateFolderNameLength = 22;

/// Name of the date folder for the moment, in the current time zone: "%Y-%m-%d %H:%M %z" with
/// every ":" replaced by "_". Always 22 characters.
std::string finderCompatibleDateDescription(time_t date);
/// The moment a date-folder name stands for, or nothing when the name is not one.
std::optional<time_t> dateFromFinderCompatibleDateDescription(std::string_view name);

/// Names that begin so in a cache folder or a date folder are the system's own work (a copy in
/// progress, the trash information of a date folder), never items: readers leave them out.
inline constexpr std::string_view kInternalPrefix = ".quillet-";
bool isInternalName(std::string_view name);

/// The n-th name a stored item may take when its name is already taken in its date folder (the
/// same name trashed again within the minute): n 0 the name itself; for a file "base-n.ext"
/// (the extension of the visible name: what follows its last dot, unless that dot is its first
/// or last character), for a folder "name-n". The ".x_" prefix is kept in front.
std::string numberedName(std::string_view storedName, unsigned n, bool isFolder);
/// The names a stored name may be numberedName of, with its "-n" taken off (as a file's and as
/// a folder's); none when it carries no such number.
std::vector<std::string> unnumberedNames(std::string_view storedName);

enum class Visibility { Hidden, Visible };
/// Visible form: the name without one leading ".x_" (compared case-sensitively); a name
/// without it is its own visible form. Hidden form: ".x_" + name, even when the name already
/// carries the prefix.
std::string setFileName(std::string_view name, Visibility visibleInFinder);
/// The longest name a Linux file system takes, in bytes.
inline constexpr size_t kMaxNameBytes = 255;
/// The name an item is stored under in the cache: its hidden form when that fits in a name
/// (kMaxNameBytes), else the name itself, whose visible form is then itself, exactly (the
/// prefix only hides what the cache folder already hides). Nothing for a name that fits only
/// without the prefix but begins with ".x_": stored as it is, it would come back without it.
std::optional<std::string> storedNameOf(std::string_view name);

/// The name an index record keeps: ".x_" + name, or the name unchanged when it already
/// begins with ".x_" (the prefix is never doubled).
std::string indexHiddenName(std::string_view name);
bool hasHiddenPrefix(std::string_view name);

} // namespace quillet
