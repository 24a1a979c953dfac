#include "archive/ArchiveFile.h"

#include "support/BinaryPlistCheck.h"
#include "archive/CacheLayout.h"
#include "support/Plist.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"

#include <dirent.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstring>
#include <limits>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quillet {
namespace {

/// A record archive is a few hundred bytes; anything near this is not one.
constexpr size_t kMaxItemArchiveBytes = 1024 * 1024;
/// What the records of an index may cost beyond the size of the file (see decodeArchive):
/// room for a few hundred equal records, which an archiver stores once and names again.
constexpr uint64_t kRecordSlackBytes = 64 * 1024;
constexpr uint64_t kKeyedArchiveVersion = 100000;
constexpr std::string_view kArchiverName = "NSKeyedArchiver";
constexpr const char *kNullObject = "$null";

constexpr const char *kStructLengthKey = "Struct length";
constexpr const char *kItemCountKey = "Number of items";
constexpr const char *kItemListKey = "List of items recorded";
constexpr const char *kModificationDateKey = "Modification date";
constexpr const char *kItemSizeKey = "Item size";
constexpr const char *kItemNameKey = "Item name";
constexpr size_t kModificationDateBytes = 8;

// ---- Writing ---------------------------------------------------------------------------------

/// A keyed archive being built: "$objects" starts with "$null"; add() appends an object and
/// gives the UID that names it. Top-level keys go out in the order Foundation writes them.
class ArchiveBuilder {
public:
    ArchiveBuilder() : _root(plist_new_dict()) {
        _top = plist_new_dict();
        _objects = plist_new_array();
        plist_dict_set_item(_root.get(), "$version", plist_new_uint(kKeyedArchiveVersion));
        plist_dict_set_item(_root.get(), "$archiver", plist_new_string(std::string(kArchiverName).c_str()));
        plist_dict_set_item(_root.get(), "$top", _top);
        plist_dict_set_item(_root.get(), "$objects", _objects);
        add(plist_new_string(kNullObject));
    }

    plist_t top() const { return _top; }
    uint64_t nextUid() const { return plist_array_get_size(_objects); }
    uint64_t add(plist_t object) {
        uint64_t uid = nextUid();
        plist_array_append_item(_objects, object);
        return uid;
    }

    std::string bytes() const { return plistToBinary(_root.get()); }

private:
    PlistOwner _root;
    plist_t _top = nullptr;
    plist_t _objects = nullptr;
};

void putLittleEndian32(unsigned char *out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t getLittleEndian32(const unsigned char *in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

std::string encodeItem(const ArchivedItem &item) {
    ArchiveBuilder archive;
    plist_t top = archive.top();
    plist_dict_set_item(top, kStructLengthKey, plist_new_uint(archiveItemStructSize(item)));
    unsigned char date[kModificationDateBytes];
    putLittleEndian32(date, item.modificationTime.seconds);
    putLittleEndian32(date + 4, item.modificationTime.nanoseconds);
    plist_dict_set_item(top, kModificationDateKey,
                        plist_new_data(reinterpret_cast<const char *>(date), sizeof date));
    // Negative sizes go out as the 8-byte two's complement, which is how Apple stores a
    // signed 64-bit integer too.
    plist_dict_set_item(top, kItemSizeKey, plist_new_uint(static_cast<uint64_t>(item.itemSize)));
    // Binary plists hold ASCII or UTF-16 strings; bytes that are not UTF-8 travel as lone
    // surrogates.
    uint64_t name = archive.add(plist_new_string(bplist::escapeInvalidUtf8(item.name).c_str()));
    plist_dict_set_item(top, kItemNameKey, plist_new_uid(name));
    return archive.bytes();
}

// ---- Reading ---------------------------------------------------------------------------------

/// A keyed archive read straight from its checked bytes. No tree is built: libplist's would
/// cost 100 bytes and more per node, and copies of shared strings and data at every use, so a
/// file of a few megabytes could ask for gigabytes. Reading costs the check and the values taken
/// out, nothing else. The bytes must outlive the reader.
class ArchiveReader {
public:
    using Object = std::optional<uint64_t>;  ///< an object of the property list, or none

    static std::optional<ArchiveReader> open(std::string_view bytes, size_t maxBytes) {
        auto checked = bplist::checkBinaryPlist(bytes, {.maxBytes = maxBytes, .onlyWhatLibplistReads = true});
        if (!checked)
            return std::nullopt;
        ArchiveReader reader(*checked);
        Object root = checked->topObject();
        if (!reader.isString(reader.value(root, "$archiver"), kArchiverName))
            return std::nullopt;
        Object version = reader.value(root, "$version");
        if (!version || checked->integer(*version) != kKeyedArchiveVersion)
            return std::nullopt;
        reader._top = reader.value(root, "$top");
        reader._objects = reader.value(root, "$objects");
        if (!reader.isKind(reader._top, bplist::Kind::Dict) || !reader.isKind(reader._objects, bplist::Kind::Array))
            return std::nullopt;
        if (!reader.isString(checked->element(*reader._objects, 0), kNullObject))
            return std::nullopt;
        return reader;
    }

    Object top() const { return _top; }

    /// The value under key when object is a dictionary.
    Object value(Object dict, std::string_view key) const {
        return dict ? _checked.dictValue(*dict, key) : std::nullopt;
    }

    bool isKind(Object object, bplist::Kind kind) const { return object && _checked.kind(*object) == kind; }

    /// The text of a string object (ASCII or UTF-16), as the bytes it stands for.
    std::optional<std::string> string(Object object) const {
        return object ? _checked.stringBytes(*object) : std::nullopt;
    }
    bool isString(Object object, std::string_view text) const {
        auto bytes = string(object);
        return bytes && *bytes == text;
    }

    /// The "$objects" entry a UID names; nothing for another object or a UID out of range. UID 0
    /// names "$null", which no caller accepts as a value.
    Object object(Object uid) const {
        auto index = uid ? _checked.uid(*uid) : std::nullopt;
        if (!index || *index == 0)
            return std::nullopt;
        return _checked.element(*_objects, *index);
    }

    /// An integer stored inline or behind a UID.
    std::optional<uint64_t> integer(Object node) const {
        if (isKind(node, bplist::Kind::Uid))
            node = object(node);
        return node ? _checked.integer(*node) : std::nullopt;
    }

    /// Bytes stored inline, or behind a UID as data or as { "NS.data": data } (NSMutableData),
    /// as a view into the archive's bytes.
    std::optional<std::string_view> data(Object node) const {
        if (isKind(node, bplist::Kind::Uid)) {
            node = object(node);
            if (isKind(node, bplist::Kind::Dict))
                node = value(node, "NS.data");
        }
        return node ? _checked.data(*node) : std::nullopt;
    }

    /// A string behind a UID, plain or as { "NS.string": string } (NSMutableString), as the
    /// bytes it stands for.
    std::optional<std::string> text(Object uid) const {
        Object node = object(uid);
        if (isKind(node, bplist::Kind::Dict))
            node = value(node, "NS.string");
        return string(node);
    }

    /// The elements of an array. A set is taken for one, as libplist reads it as an array.
    std::optional<uint64_t> arrayCount(Object array) const {
        if (!isKind(array, bplist::Kind::Array) && !isKind(array, bplist::Kind::Set))
            return std::nullopt;
        return _checked.count(*array);
    }
    Object element(Object array, uint64_t position) const {
        return array ? _checked.element(*array, position) : std::nullopt;
    }

private:
    explicit ArchiveReader(bplist::CheckedPlist checked) : _checked(checked) {}

    bplist::CheckedPlist _checked;
    Object _top;
    Object _objects;
};

/// Linux names never hold NUL or "/"; a record that does is not one of ours.
bool isPlausibleName(std::string_view name) {
    return !name.empty() && name.find('\0') == std::string_view::npos &&
           name.find('/') == std::string_view::npos;
}

std::optional<ArchivedItem> decodeItem(std::string_view bytes) {
    auto reader = ArchiveReader::open(bytes, kMaxItemArchiveBytes);
    if (!reader)
        return std::nullopt;
    ArchiveReader::Object top = reader->top();
    // The stored record length is not trusted: it is recomputed from the name below.
    if (!reader->integer(reader->value(top, kStructLengthKey)))
        return std::nullopt;
    auto date = reader->data(reader->value(top, kModificationDateKey));
    auto size = reader->integer(reader->value(top, kItemSizeKey));
    auto name = reader->text(reader->value(top, kItemNameKey));
    if (!date || date->size() != kModificationDateBytes || !size || !name || !isPlausibleName(*name))
        return std::nullopt;

    ArchivedItem item;
    auto raw = reinterpret_cast<const unsigned char *>(date->data());
    item.modificationTime.seconds = getLittleEndian32(raw);
    item.modificationTime.nanoseconds = getLittleEndian32(raw + 4);
    item.itemSize = static_cast<int64_t>(*size);
    item.name = std::move(*name);
    item.recordLength = archiveItemStructSize(item);
    return item;
}

bool isArrayClass(std::string_view name) { return name == "NSArray" || name == "NSMutableArray"; }

std::string indexName(std::string_view fileName) { return std::string(fileName.empty() ? kIndexFileName : fileName); }

std::string indexPath(const std::string &folder, std::string_view fileName) { return folder + indexName(fileName); }

} // namespace

std::string encodeArchive(ArchiveStruct &index) {
    for (ArchivedItem &item : index.items)
        item.recordLength = archiveItemStructSize(item);
    index.itemCount = index.items.size();
    index.recordLength = archiveStructSize(&index);

    ArchiveBuilder archive;
    plist_t top = archive.top();
    plist_dict_set_item(top, kStructLengthKey, plist_new_uint(index.recordLength));
    plist_dict_set_item(top, kItemCountKey, plist_new_uint(index.itemCount));
    if (index.items.empty())
        return archive.bytes();

    // The order NSKeyedArchiver gives the objects: the array, its elements, then its class.
    plist_t array = plist_new_dict();
    uint64_t arrayUid = archive.add(array);
    plist_t elements = plist_new_array();
    for (const ArchivedItem &item : index.items) {
        std::string bytes = encodeItem(item);
        uint64_t uid = archive.add(plist_new_data(bytes.data(), bytes.size()));
        plist_array_append_item(elements, plist_new_uid(uid));
    }
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string("NSArray"));
    plist_array_append_item(classes, plist_new_string("NSObject"));
    plist_t arrayClass = plist_new_dict();
    plist_dict_set_item(arrayClass, "$classname", plist_new_string("NSArray"));
    plist_dict_set_item(arrayClass, "$classes", classes);
    uint64_t classUid = archive.add(arrayClass);

    plist_dict_set_item(array, "NS.objects", elements);
    plist_dict_set_item(array, "$class", plist_new_uid(classUid));
    plist_dict_set_item(top, kItemListKey, plist_new_uid(arrayUid));
    return archive.bytes();
}

std::optional<ArchiveStruct> decodeArchive(std::string_view bytes) {
    auto reader = ArchiveReader::open(bytes, kMaxIndexFileBytes);
    if (!reader)
        return std::nullopt;
    ArchiveReader::Object top = reader->top();
    // The stored length and count are not trusted: both are recomputed from the records. A
    // count that disagrees with the list costs nothing: the list is what was archived.
    ArchiveStruct index;
    ArchiveReader::Object list = reader->value(top, kItemListKey);
    if (!list)
        return index;
    ArchiveReader::Object array = reader->object(list);
    if (!reader->isKind(array, bplist::Kind::Dict))
        return std::nullopt;
    ArchiveReader::Object arrayClass = reader->object(reader->value(array, "$class"));
    auto className = reader->string(reader->value(arrayClass, "$classname"));
    if (!className || !isArrayClass(*className))
        return std::nullopt;
    ArchiveReader::Object elements = reader->value(array, "NS.objects");
    auto count = reader->arrayCount(elements);
    if (!count)
        return std::nullopt;

    // What the records cost is settled before any is read. The list may name one record many
    // times, so each mention is charged the whole record (its check and its name are paid again)
    // and never less than the entry it becomes; the charges may add up to no more than the file
    // plus kRecordSlackBytes. Records written side by side add up to less than the file; only a
    // list that names the same bytes over and over goes beyond.
    const uint64_t budget = bytes.size() + kRecordSlackBytes;
    uint64_t charged = 0;
    size_t records = 0;
    for (uint64_t i = 0; i < *count; ++i) {
        auto element = reader->data(reader->element(elements, i));
        if (!element)
            continue;
        charged += element->size() > sizeof(ArchivedItem) ? element->size() : sizeof(ArchivedItem);
        if (charged > budget)
            return std::nullopt;
        ++records;
    }

    // A record that cannot be read is left out; every good one is kept, so that one damaged
    // record does not make every item in the trash look new.
    index.items.reserve(records);
    for (uint64_t i = 0; i < *count; ++i) {
        auto element = reader->data(reader->element(elements, i));
        if (!element)
            continue;
        if (auto item = decodeItem(*element))
            index.items.push_back(std::move(*item));
    }
    index.itemCount = index.items.size();
    index.recordLength = archiveStructSize(&index);
    return index;
}

bool writeArchiveStats(const std::string &folder, ArchiveStruct &index, std::string_view fileName) {
    if (folder.empty())
        return false;
    // A cache folder that is a link or another account's is never written through.
    if (auto cache = sys::openOwnedFolder(folder))
        return writeArchiveStatsAt(cache->get(), folder, index, fileName);
    return true;
}

bool writeArchiveStatsAt(int cacheFd, const std::string &folder, ArchiveStruct &index, std::string_view fileName) {
    std::string bytes = encodeArchive(index);
    if (bytes.empty())
        return true;  // libplist could not serialize (out of memory): keep the previous file
    // A failed write leaves the previous index in place, which is the best there is.
    (void)sys::writeFileAtomicallyAt(cacheFd, indexName(fileName), bytes, 0644, indexPath(folder, fileName));
    (void)sys::syncfs(cacheFd);
    return true;
}

bool readArchiveStats(const std::string &folder, ArchiveStruct &index, std::string_view fileName) {
    emptyArchive(&index);
    if (folder.empty())
        return false;
    auto cache = sys::openOwnedFolder(folder);
    if (!cache)
        return false;
    return readArchiveStatsAt(cache->get(), folder, index, fileName);
}

bool readArchiveStatsAt(int cacheFd, const std::string &folder, ArchiveStruct &index, std::string_view fileName) {
    emptyArchive(&index);
    // A missing file reads as empty, so it is created holding an empty index below. A link
    // planted under the index's name is not followed: it reads as malformed and is replaced.
    auto bytes = sys::readFileAt(cacheFd, indexName(fileName), kMaxIndexFileBytes);
    std::optional<ArchiveStruct> decoded;
    if (bytes && !bytes->empty())
        decoded = decodeArchive(*bytes);
    if (!decoded) {
        writeArchiveStatsAt(cacheFd, folder, index, fileName);
        return false;
    }
    index = std::move(*decoded);
    return true;
}

void checkForArchivedFiles(const std::string &folder, std::string_view fileName) {
    if (folder.empty())
        return;
    if (auto cache = sys::openOwnedFolder(folder))
        checkForArchivedFilesAt(cache->get(), folder, fileName);
}

void checkForArchivedFilesAt(int cacheFd, const std::string &folder, std::string_view fileName,
                             UnrecordedCopies *unrecordedCopies) {
    ArchiveStruct index;
    readArchiveStatsAt(cacheFd, folder, index, fileName);

    // Every archived copy still present, in any date folder. A set of keys makes this linear
    // in records plus copies, where comparing each record with each copy would be quadratic.
    // Only real date folders of the user's are looked into: a link or a folder another account
    // planted under a date's name is never entered.
    UnrecordedCopies present; // every copy, by the keys it answers for; the first place found
    (void)sys::forEachEntry(cacheFd, [&](std::string_view entry, unsigned char) {
        std::string name(entry);
        if (!dateFromFinderCompatibleDateDescription(name))
            return true;
        auto dateFolder = sys::openOwnedFolderAt(cacheFd, name);
        if (!dateFolder)
            return true;
        (void)sys::forEachEntry(*dateFolder, [&](std::string_view copyName, unsigned char) {
            std::string copy(copyName);
            if (isInternalName(copy))
                return true; // work in progress, or the date folder's own records
            auto record = buildArchivedItemAt(dateFolder->get(), copy);
            if (!record)
                return true;
            for (ArchivedItemKey &key : copyKeys(copy, *record, dateFolder->get()))
                present.try_emplace(std::move(key), CopyPlace{name, copy});
            return true;
        });
        return true;
    });

    // One pass keeps the order of the survivors; removing records one at a time would move
    // the rest of the list, and recount its length, for every record dropped.
    ArchivedKeys matched;
    std::erase_if(index.items, [&](const ArchivedItem &item) {
        ArchivedItemKey key = keyOf(item);
        if (!present.contains(key)) {
            key.itemSize = kAnyFolderSize;
            if (!present.contains(key))
                return true;
        }
        matched.insert(std::move(key));
        return false;
    });
    if (unrecordedCopies) {
        unrecordedCopies->clear();
        for (auto &[key, place] : present)
            if (!matched.contains(key))
                unrecordedCopies->emplace(key, std::move(place));
    }
    index.itemCount = index.items.size();
    index.recordLength = archiveStructSize(&index);
    writeArchiveStatsAt(cacheFd, folder, index, fileName);
}

std::vector<ArchivedItemKey> copyKeys(const std::string &copyName, const ArchivedItem &copy, int dateFd) {
    std::vector<ArchivedItemKey> keys;
    // A folder's own size differs between the trashed folder and its copy (a folder's size
    // depends on the names it holds, and the copy's are longer): folders match on name and
    // time alone.
    auto st = sys::statAt(dateFd, copyName, sys::FollowLinks::No);
    const int64_t size = st && S_ISDIR(st->st_mode) ? kAnyFolderSize : copy.itemSize;
    // A copy is named with the prefix added even when the trashed name had it already
    // (".x_.x_secret"); its record keeps a single one (".x_secret"). A second item of a name
    // within one minute took a numbered name ("Report-1.pdf"): its record has the trash name.
    std::vector<std::string> names = {copyName};
    for (std::string &unnumbered : unnumberedNames(copyName))
        names.push_back(std::move(unnumbered));
    for (const std::string &name : names)
        keys.push_back({indexHiddenName(setFileName(name, Visibility::Visible)), size, copy.modificationTime.seconds});
    return keys;
}

} // namespace quillet
