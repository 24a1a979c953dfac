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

#include "ArchivedItem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

/// Ten thousand records take about 2.4 MB; a file beyond this cap is not an index we wrote.
inline constexpr size_t kMaxIndexFileBytes = 64u * 1024 * 1024;

/// The bytes of the index file for the index. Its record lengths and item count are
/// recomputed first, so the file never disagrees with itself.
std::string encodeArchive(ArchiveStruct &index);
/// The index the bytes hold, or nothing when they are not a well-formed index archive.
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
/// as ".x_.x_a" but recorded as ".x_a". Only entries whose names are dates and that are real
/// folders of the user's count as date folders.
void checkForArchivedFiles(const std::string &folder, std::string_view fileName = {});
void checkForArchivedFilesAt(int cacheFd, const std::string &folder, std::string_view fileName = {});

} // namespace quillet
