#pragma once
// The archive index file "ArchivedFileData" of a cache folder.
//
// Format: a keyed archive as Foundation's NSKeyedArchiver writes it, as a binary property list.
//
//   { "$archiver": "NSKeyedArchiver", "$version": 100000,
//     "$objects": [ "$null", <objects…> ],
//     "$top": { "Struct length": <int>,            20 + sum of item record lengths
//               "Number of items": <int>,
//               "List of items recorded": UID ──▶  (only when there are items)
//                   { "NS.objects": [UID…], "$class": UID ──▶
//                       { "$classname": "NSArray", "$classes": ["NSArray", "NSObject"] } } } }
//
// Each element of the list is a data object holding a complete keyed archive of one record:
//
//   "$top": { "Struct length": <int>,              name bytes + 25
//             "Modification date": <8 bytes>,      seconds, nanoseconds (32-bit little-endian)
//             "Item size": <int>,
//             "Item name": UID ──▶ <string> }      hidden-form name
//
// Integers encoded by the archiver itself sit inline in "$top"; objects sit in "$objects".
// Reading also accepts what Foundation writes for the same calls in other circumstances:
// integers behind a UID, NSMutableArray, { "NS.data": … } and { "NS.string": … } wrappers.
// Names that are not valid UTF-8 are carried as lone UTF-16 surrogates U+DC80..U+DCFF, one per
// byte, so that every Linux file name survives a round trip.
//
// The file is replaced atomically (temporary file, fsync, rename) and is never larger than
// kMaxIndexFileBytes; anything that is not such an archive reads as an empty index.
//
// The list may name one record more than once (Foundation archives an object once however often
// an array holds it), and each mention is a record read and kept. A file is refused when the
// records it names, each counted at every mention, add up to more than the file plus 64 KiB:
// records stored side by side never do, a few equal records fit in the margin, and a short list
// naming a long record thousands of times cannot turn kilobytes into gigabytes.

#include "archive/ArchivedItem.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillet {

/// Ten thousand records take about 2.4 MB; a file beyond this cap is not an index we wrote.
inline constexpr size_t kMaxIndexFileBytes = 64u * 1024 * 1024;

/// The bytes of the index file for the index. Its record lengths and item count are
/// recomputed first, so the file never disagrees with itself.
std::string encodeArchive(ArchiveStruct &index);
/// The index the bytes hold, or nothing when they are not a well-formed index archive. The
/// stored length and count are not trusted (a count that disagrees with the list is ignored),
/// and a record that cannot be read is left out while the others are kept.
/// Whatever the bytes say, this allocates at most 8 bytes per byte of them plus 256 KiB.
std::optional<ArchiveStruct> decodeArchive(std::string_view bytes);

/// Writes the index to folder + fileName (default "ArchivedFileData") atomically, then flushes
/// the volume. A failed write leaves the previous file; it is not reported. Nothing is written
/// into a folder that is a symbolic link or another account's. False only when folder is empty.
bool writeArchiveStats(const std::string &folder, ArchiveStruct &index,
                       std::string_view fileName = {});
/// The same in the cache folder opened as cacheFd; folder names it in messages.
bool writeArchiveStatsAt(int cacheFd, const std::string &folder, ArchiveStruct &index,
                         std::string_view fileName = {});
/// Reads folder + fileName into index. A missing, empty, unreadable or malformed file (a
/// symbolic link under its name included) is (re)written as an empty index and false is
/// returned; so is an empty folder, or one that is a link or another account's, with nothing
/// written.
bool readArchiveStats(const std::string &folder, ArchiveStruct &index,
                      std::string_view fileName = {});
bool readArchiveStatsAt(int cacheFd, const std::string &folder, ArchiveStruct &index,
                        std::string_view fileName = {});
/// Drops every record whose archived copy is in no date folder of the cache folder any more,
/// then writes the index back. A copy answers for a record when its visible name's index form
/// (indexHiddenName), its size and its modification second agree: a trashed ".x_a" is stored
/// as ".x_.x_a" but recorded as ".x_a"; a numbered copy ("Report-1.pdf") answers for its name
/// without the number too, and a folder whatever its size. Only entries whose names are dates
/// and that are real folders of the user's count as date folders; the system's own names
/// (isInternalName) in them are no copies.
void checkForArchivedFiles(const std::string &folder, std::string_view fileName = {});
/// A set of record keys.
using ArchivedKeys = std::unordered_set<ArchivedItemKey, ArchivedItemKeyHash>;
/// Where a copy lies in its cache folder.
struct CopyPlace {
    std::string dateFolder;
    std::string storedName;
};
using UnrecordedCopies = std::unordered_map<ArchivedItemKey, CopyPlace, ArchivedItemKeyHash>;
/// The same in the cache folder opened as cacheFd. unrecordedCopies, when given, receives the
/// keys of the copies present that no record answers for (left by a daemon that ended before it
/// could save its index), with where each lies, so that such an entry is recorded rather than
/// copied again.
void checkForArchivedFilesAt(int cacheFd, const std::string &folder, std::string_view fileName = {},
                             UnrecordedCopies *unrecordedCopies = nullptr);
/// The item size a folder's key carries: a folder matches on name and time alone.
inline constexpr int64_t kAnyFolderSize = INT64_MIN;
/// The keys the copy copyName (whose record, built as a trash entry's, is copy) of the date
/// folder dateFd answers for: its name as a record has it, also without a number a second item
/// of the same name took ("Report-1.pdf"), and a folder's without its size.
std::vector<ArchivedItemKey> copyKeys(const std::string &copyName, const ArchivedItem &copy, int dateFd);

} // namespace quillet
