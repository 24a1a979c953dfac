#include "archive/ArchiveFile.h"

#include "archive/ArchivedItem.h"
#include "support/BinaryPlistCheck.h"
#include "archive/CacheLayout.h"
#include "support/Plist.h"
#include "ArchiveRecords.h"
#include "TestDir.h"
#include "platform/System.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

using namespace quillet;
using quillet::test::record;
using quillet::test::TestDir;

namespace {

// ---- libplist helpers --------------------------------------------------------------------------

using Plist = quillet::PlistOwner;

/// Parses bytes this test produced itself (never hostile ones: libplist trusts its input).
Plist parseOwn(const std::string &bytes) {
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return Plist(root);
}

std::string toBinary(plist_t root) { return quillet::plistToBinary(root); }

std::string toXml(plist_t root) { return quillet::plistToXml(root).value_or(""); }

std::string stringOf(plist_t node) {
    if (plist_get_node_type(node) != PLIST_STRING)
        return "<not a string>";
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string out(text);
    std::free(text);
    return out;
}

uint64_t uintOf(plist_t node) {
    EXPECT_EQ(plist_get_node_type(node), PLIST_UINT);
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

uint64_t uidOf(plist_t node) {
    EXPECT_EQ(plist_get_node_type(node), PLIST_UID);
    uint64_t value = 0;
    plist_get_uid_val(node, &value);
    return value;
}

std::string dataOf(plist_t node) {
    EXPECT_EQ(plist_get_node_type(node), PLIST_DATA);
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(node, &length);
    return std::string(bytes ? bytes : "", length);
}

std::vector<std::string> keysOf(plist_t dict) {
    std::vector<std::string> keys;
    (void)quillet::forEachPlistEntry(dict, [&](const char *key, plist_t) {
        keys.emplace_back(key);
        return true;
    });
    return keys;
}

std::string littleEndian32(uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>(value >> (8 * i));
    return out;
}

std::string dateBytes(uint32_t seconds, uint32_t nanoseconds) {
    return littleEndian32(seconds) + littleEndian32(nanoseconds);
}

// ---- Records -----------------------------------------------------------------------------------

ArchiveStruct indexOf(std::vector<ArchivedItem> items) {
    ArchiveStruct index;
    for (ArchivedItem &item : items)
        appendItemToArchive(std::move(item), &index);
    return index;
}

void expectSameIndex(const ArchiveStruct &actual, const ArchiveStruct &expected) {
    EXPECT_EQ(actual.recordLength, expected.recordLength);
    EXPECT_EQ(actual.itemCount, expected.itemCount);
    ASSERT_EQ(actual.items.size(), expected.items.size());
    for (size_t i = 0; i < actual.items.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(actual.items[i].name, expected.items[i].name);
        EXPECT_EQ(actual.items[i].itemSize, expected.items[i].itemSize);
        EXPECT_EQ(actual.items[i].modificationTime.seconds, expected.items[i].modificationTime.seconds);
        EXPECT_EQ(actual.items[i].modificationTime.nanoseconds, expected.items[i].modificationTime.nanoseconds);
        EXPECT_EQ(actual.items[i].recordLength, expected.items[i].recordLength);
    }
}

// ---- Hand-made keyed archives, shaped as Foundation may write them ---------------------------

/// A keyed archive under construction with libplist: "$objects" starts with "$null".
struct KeyedArchive {
    Plist root{plist_new_dict()};
    plist_t top = plist_new_dict();
    plist_t objects = plist_new_array();

    KeyedArchive() {
        plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
        plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(root.get(), "$top", top);
        plist_dict_set_item(root.get(), "$objects", objects);
        add(plist_new_string("$null"));
    }
    uint64_t add(plist_t object) {
        uint64_t uid = plist_array_get_size(objects);
        plist_array_append_item(objects, object);
        return uid;
    }
    /// An integer inline, or as its own object behind a UID.
    plist_t integer(uint64_t value, bool behindUid) {
        if (!behindUid)
            return plist_new_uint(value);
        return plist_new_uid(add(plist_new_uint(value)));
    }
    plist_t mutableWrapper(const char *key, plist_t value, const char *className) {
        plist_t classes = plist_new_array();
        plist_array_append_item(classes, plist_new_string(className));
        plist_array_append_item(classes, plist_new_string("NSObject"));
        plist_t classDict = plist_new_dict();
        plist_dict_set_item(classDict, "$classname", plist_new_string(className));
        plist_dict_set_item(classDict, "$classes", classes);
        plist_t wrapper = plist_new_dict();
        plist_dict_set_item(wrapper, key, value);
        plist_dict_set_item(wrapper, "$class", plist_new_uid(add(classDict)));
        return wrapper;
    }
};

struct ItemShape {
    std::string name = ".x_Report.pdf";  ///< handed to libplist as UTF-8
    uint64_t size = 1234;
    std::string date = dateBytes(1700000000, 42);
    bool integersBehindUid = false;
    bool nameAsMutableString = false;
    std::function<void(KeyedArchive &)> tweak{};
};

std::string itemArchive(const ItemShape &shape) {
    KeyedArchive archive;
    plist_dict_set_item(archive.top, "Struct length",
                        archive.integer(shape.name.size() + 25, shape.integersBehindUid));
    plist_dict_set_item(archive.top, "Modification date", plist_new_data(shape.date.data(), shape.date.size()));
    plist_dict_set_item(archive.top, "Item size", archive.integer(shape.size, shape.integersBehindUid));
    plist_t name = plist_new_string(shape.name.c_str());
    if (shape.nameAsMutableString) {
        // The wrapper's class goes into $objects before the wrapper itself, as it is made first.
        plist_t wrapper = archive.mutableWrapper("NS.string", name, "NSMutableString");
        plist_dict_set_item(archive.top, "Item name", plist_new_uid(archive.add(wrapper)));
    } else {
        plist_dict_set_item(archive.top, "Item name", plist_new_uid(archive.add(name)));
    }
    if (shape.tweak)
        shape.tweak(archive);
    return toBinary(archive.root.get());
}

struct IndexShape {
    std::vector<std::string> elements;  ///< item archives
    std::optional<uint64_t> count{};    ///< "Number of items", the element count by default
    std::string className = "NSArray";
    bool integersBehindUid = false;
    bool elementsAsMutableData = false;
    bool withList = true;
    std::function<void(KeyedArchive &)> tweak{};
};

std::string indexArchive(const IndexShape &shape) {
    KeyedArchive archive;
    uint64_t length = 20;
    for (const std::string &element : shape.elements)
        length += 25 + element.size();  // not the true value: readers must recompute it
    plist_dict_set_item(archive.top, "Struct length", archive.integer(length, shape.integersBehindUid));
    plist_dict_set_item(archive.top, "Number of items",
                        archive.integer(shape.count.value_or(shape.elements.size()), shape.integersBehindUid));
    if (shape.withList) {
        plist_t array = plist_new_dict();
        uint64_t arrayUid = archive.add(array);
        plist_t uids = plist_new_array();
        for (const std::string &element : shape.elements) {
            plist_t data = plist_new_data(element.data(), element.size());
            if (shape.elementsAsMutableData)
                data = archive.mutableWrapper("NS.data", data, "NSMutableData");
            plist_array_append_item(uids, plist_new_uid(archive.add(data)));
        }
        plist_t classes = plist_new_array();
        plist_array_append_item(classes, plist_new_string(shape.className.c_str()));
        if (shape.className == "NSMutableArray")
            plist_array_append_item(classes, plist_new_string("NSArray"));
        plist_array_append_item(classes, plist_new_string("NSObject"));
        plist_t classDict = plist_new_dict();
        plist_dict_set_item(classDict, "$classname", plist_new_string(shape.className.c_str()));
        plist_dict_set_item(classDict, "$classes", classes);
        plist_dict_set_item(array, "NS.objects", uids);
        plist_dict_set_item(array, "$class", plist_new_uid(archive.add(classDict)));
        plist_dict_set_item(archive.top, "List of items recorded", plist_new_uid(arrayUid));
    }
    if (shape.tweak)
        shape.tweak(archive);
    return toBinary(archive.root.get());
}

// ---- Raw binary property lists, for what libplist would refuse to write ----------------------

std::string bigEndian(uint64_t value, unsigned size) {
    std::string out;
    for (unsigned i = size; i-- > 0;)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

/// A binary plist made of the given encoded objects, with 1-byte offsets and references.
std::string rawPlist(const std::vector<std::string> &objects, uint64_t top = 0) {
    std::string bytes = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string &object : objects) {
        offsets.push_back(bytes.size());
        bytes += object;
    }
    uint64_t tableStart = bytes.size();
    for (uint64_t offset : offsets)
        bytes += static_cast<char>(offset);
    bytes += std::string(6, '\0');
    bytes += '\x01';  // offset size
    bytes += '\x01';  // reference size
    bytes += bigEndian(objects.size(), 8) + bigEndian(top, 8) + bigEndian(tableStart, 8);
    return bytes;
}

std::string byteString(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned value : values)
        out += static_cast<char>(value);
    return out;
}

/// The index file of a folder, as written.
std::string indexFile(const std::string &folder, std::string_view name = kIndexFileName) {
    return quillet::test::readFileText(folder + std::string(name));
}

std::vector<std::string> folderEntries(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> &hostileNames() {
    static const std::vector<std::string> names = {
        ".x_line\nbreak",
        std::string(".x_\xff\xfe"),
        std::string("\xff\xfe"),
        std::string(255, 'n'),
        std::string(".x_") + std::string(255, 'z'),
        ".x_",
        ".x_caf\xc3\xa9",
        ".x_\xe6\x97\xa5\xe6\x9c\xac",
        ".x_\xf0\x9f\x98\x80",                       // outside the BMP: a surrogate pair
        ".x_\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xef\xbf\xbf",   // U+10000, U+10FFFF, U+FFFF
        std::string(".x_\xed\xa0\x80\xed\xb0\x80"),  // a surrogate pair spelt in UTF-8 is not UTF-8
        std::string(".x_\xe6\x97"),                  // truncated sequence
        std::string(".x_\xc3\xa9\x80\xc0\xaf"),      // stray continuation, overlong "/"
        std::string("\x01\x7f tab\there"),
    };
    return names;
}

} // namespace

// ---- Encoding ----------------------------------------------------------------------------------

TEST(ArchiveFileEncoding, emptyIndexHasNoListAndStructLengthTwenty) {
    ArchiveStruct index;
    std::string bytes = encodeArchive(index);
    Plist root = parseOwn(bytes);
    ASSERT_TRUE(root);
    EXPECT_EQ(keysOf(root.get()), (std::vector<std::string>{"$version", "$archiver", "$top", "$objects"}));
    EXPECT_EQ(stringOf(plist_dict_get_item(root.get(), "$archiver")), "NSKeyedArchiver");
    EXPECT_EQ(uintOf(plist_dict_get_item(root.get(), "$version")), 100000u);
    plist_t objects = plist_dict_get_item(root.get(), "$objects");
    ASSERT_EQ(plist_array_get_size(objects), 1u);
    EXPECT_EQ(stringOf(plist_array_get_item(objects, 0)), "$null");
    plist_t top = plist_dict_get_item(root.get(), "$top");
    EXPECT_EQ(keysOf(top), (std::vector<std::string>{"Struct length", "Number of items"}));
    EXPECT_EQ(uintOf(plist_dict_get_item(top, "Struct length")), 20u);
    EXPECT_EQ(uintOf(plist_dict_get_item(top, "Number of items")), 0u);
    EXPECT_EQ(plist_dict_get_item(top, "List of items recorded"), nullptr);
}

TEST(ArchiveFileEncoding, oneItemNamedAIsAnArrayOfNestedKeyedArchives) {
    // "a" as the index keeps it, in hidden form: 4 name bytes + 25.
    ArchiveStruct index = indexOf({record(".x_a", 4096, 0x01020304, 0x0A0B0C0D)});
    index.recordLength = 7;  // stale on purpose: encoding recomputes it
    index.items[0].recordLength = 3;
    std::string bytes = encodeArchive(index);
    EXPECT_EQ(index.recordLength, 49u);
    EXPECT_EQ(index.items[0].recordLength, 29u);

    Plist root = parseOwn(bytes);
    ASSERT_TRUE(root);
    EXPECT_EQ(keysOf(root.get()), (std::vector<std::string>{"$version", "$archiver", "$top", "$objects"}));
    EXPECT_EQ(stringOf(plist_dict_get_item(root.get(), "$archiver")), "NSKeyedArchiver");
    EXPECT_EQ(uintOf(plist_dict_get_item(root.get(), "$version")), 100000u);

    // $objects: "$null", the array, its element, the array's class.
    plist_t objects = plist_dict_get_item(root.get(), "$objects");
    ASSERT_EQ(plist_array_get_size(objects), 4u);
    EXPECT_EQ(stringOf(plist_array_get_item(objects, 0)), "$null");

    plist_t top = plist_dict_get_item(root.get(), "$top");
    EXPECT_EQ(keysOf(top), (std::vector<std::string>{"Struct length", "Number of items", "List of items recorded"}));
    EXPECT_EQ(uintOf(plist_dict_get_item(top, "Struct length")), 49u);
    EXPECT_EQ(uintOf(plist_dict_get_item(top, "Number of items")), 1u);
    ASSERT_EQ(uidOf(plist_dict_get_item(top, "List of items recorded")), 1u);

    plist_t array = plist_array_get_item(objects, 1);
    ASSERT_EQ(plist_get_node_type(array), PLIST_DICT);
    EXPECT_EQ(keysOf(array), (std::vector<std::string>{"NS.objects", "$class"}));
    plist_t elements = plist_dict_get_item(array, "NS.objects");
    ASSERT_EQ(plist_array_get_size(elements), 1u);
    ASSERT_EQ(uidOf(plist_array_get_item(elements, 0)), 2u);
    ASSERT_EQ(uidOf(plist_dict_get_item(array, "$class")), 3u);

    plist_t arrayClass = plist_array_get_item(objects, 3);
    EXPECT_EQ(stringOf(plist_dict_get_item(arrayClass, "$classname")), "NSArray");
    plist_t classes = plist_dict_get_item(arrayClass, "$classes");
    ASSERT_EQ(plist_array_get_size(classes), 2u);
    EXPECT_EQ(stringOf(plist_array_get_item(classes, 0)), "NSArray");
    EXPECT_EQ(stringOf(plist_array_get_item(classes, 1)), "NSObject");

    // The element: a complete keyed archive of the record.
    std::string itemBytes = dataOf(plist_array_get_item(objects, 2));
    ASSERT_EQ(itemBytes.substr(0, 8), "bplist00");
    Plist item = parseOwn(itemBytes);
    ASSERT_TRUE(item);
    EXPECT_EQ(keysOf(item.get()), (std::vector<std::string>{"$version", "$archiver", "$top", "$objects"}));
    EXPECT_EQ(stringOf(plist_dict_get_item(item.get(), "$archiver")), "NSKeyedArchiver");
    EXPECT_EQ(uintOf(plist_dict_get_item(item.get(), "$version")), 100000u);
    plist_t itemTop = plist_dict_get_item(item.get(), "$top");
    EXPECT_EQ(keysOf(itemTop),
              (std::vector<std::string>{"Struct length", "Modification date", "Item size", "Item name"}));
    EXPECT_EQ(uintOf(plist_dict_get_item(itemTop, "Struct length")), 29u);
    EXPECT_EQ(dataOf(plist_dict_get_item(itemTop, "Modification date")),
              byteString({0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(uintOf(plist_dict_get_item(itemTop, "Item size")), 4096u);
    plist_t itemObjects = plist_dict_get_item(item.get(), "$objects");
    ASSERT_EQ(plist_array_get_size(itemObjects), 2u);
    EXPECT_EQ(stringOf(plist_array_get_item(itemObjects, 0)), "$null");
    ASSERT_EQ(uidOf(plist_dict_get_item(itemTop, "Item name")), 1u);
    EXPECT_EQ(stringOf(plist_array_get_item(itemObjects, 1)), ".x_a");
}

TEST(ArchiveFileEncoding, bytesThatAreNotUtf8AreStoredAsLoneSurrogates) {
    ArchiveStruct index = indexOf({record(std::string("a\xff\xc3\xa9"), 1, 1)});
    std::string bytes = encodeArchive(index);
    Plist root = parseOwn(bytes);
    ASSERT_TRUE(root);
    std::string itemBytes = dataOf(plist_array_get_item(plist_dict_get_item(root.get(), "$objects"), 2));
    // A UTF-16 string of three code units: 'a', U+DCFF, U+00E9.
    EXPECT_NE(itemBytes.find(byteString({0x63, 0x00, 0x61, 0xDC, 0xFF, 0x00, 0xE9})), std::string::npos);
}

TEST(ArchiveFileEncoding, countFollowsTheRecords) {
    ArchiveStruct index = indexOf({record(".x_a", 1, 1), record(".x_b", 2, 2)});
    index.itemCount = 9;
    std::string bytes = encodeArchive(index);
    EXPECT_EQ(index.itemCount, 2u);
    auto decoded = decodeArchive(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->itemCount, 2u);
}

// ---- Round trips -------------------------------------------------------------------------------

TEST(ArchiveFileRoundTrip, everyNameSurvives) {
    for (const std::string &name : hostileNames()) {
        SCOPED_TRACE(::testing::PrintToString(name));
        ArchiveStruct index = indexOf({record(name, 10, 20, 30)});
        auto decoded = decodeArchive(encodeArchive(index));
        ASSERT_TRUE(decoded);
        expectSameIndex(*decoded, index);
    }
}

TEST(ArchiveFileRoundTrip, manyRecordsKeepOrderAndFields) {
    std::vector<ArchivedItem> items;
    int64_t sizes[] = {0, 1, 4095, int64_t{5} << 30, std::numeric_limits<int64_t>::max(), -1};
    uint32_t nanoseconds[] = {0, 1, 500000000, 999999999};
    size_t n = 0;
    for (const std::string &name : hostileNames()) {
        items.push_back(record(name, sizes[n % std::size(sizes)],
                               n % 2 ? 0xFFFFFFFFu : static_cast<uint32_t>(1000000000 + n),
                               nanoseconds[n % std::size(nanoseconds)]));
        ++n;
    }
    // The same record twice: libplist shares equal objects, which must not matter.
    items.push_back(items.front());
    ArchiveStruct index = indexOf(items);
    std::string bytes = encodeArchive(index);
    auto decoded = decodeArchive(bytes);
    ASSERT_TRUE(decoded);
    expectSameIndex(*decoded, index);
    // And the re-encoding is byte for byte the same.
    EXPECT_EQ(encodeArchive(*decoded), bytes);
}

TEST(ArchiveFileRoundTrip, emptyIndexDecodesEmpty) {
    ArchiveStruct index;
    auto decoded = decodeArchive(encodeArchive(index));
    ASSERT_TRUE(decoded);
    expectSameIndex(*decoded, ArchiveStruct{});
}

TEST(ArchiveFileRoundTrip, fileOnDiskReadsBackWithRecomputedLengths) {
    TestDir dir;
    std::string folder = dir.path() + "/";
    ArchiveStruct written = indexOf({record(".x_one", 1, 2, 3), record(".x_two", 4, 5, 6)});
    ASSERT_TRUE(writeArchiveStats(folder, written));
    ArchiveStruct read;
    ASSERT_TRUE(readArchiveStats(folder, read));
    expectSameIndex(read, written);

    // A file whose stored lengths are wrong still reads; the lengths are recomputed.
    std::string odd = indexArchive({.elements = {itemArchive({.name = ".x_abc"})}});
    dir.writeFile(std::string(kIndexFileName), odd);
    ASSERT_TRUE(readArchiveStats(folder, read));
    ASSERT_EQ(read.items.size(), 1u);
    EXPECT_EQ(read.items[0].recordLength, 31u);
    EXPECT_EQ(read.recordLength, 51u);
    EXPECT_EQ(read.itemCount, 1u);
}

// ---- What Foundation may write -----------------------------------------------------------------

TEST(ArchiveFileDecoding, acceptsFoundationVariants) {
    struct Case {
        const char *what;
        std::function<std::string()> archive;
        std::string expectedName;
        int64_t expectedSize;
    };
    const std::string escaped = "\xed\xb3\xbf";  // U+DCFF spelt for libplist
    const Case cases[] = {
        {"integers inline", [] { return indexArchive({.elements = {itemArchive({})}}); }, ".x_Report.pdf", 1234},
        {"integers behind UIDs",
         [] {
             return indexArchive({.elements = {itemArchive({.integersBehindUid = true})}, .integersBehindUid = true});
         },
         ".x_Report.pdf", 1234},
        {"NSMutableArray",
         [] { return indexArchive({.elements = {itemArchive({})}, .className = "NSMutableArray"}); },
         ".x_Report.pdf", 1234},
        {"elements as NSMutableData",
         [] { return indexArchive({.elements = {itemArchive({})}, .elementsAsMutableData = true}); },
         ".x_Report.pdf", 1234},
        {"name as NSMutableString",
         [] { return indexArchive({.elements = {itemArchive({.nameAsMutableString = true})}}); },
         ".x_Report.pdf", 1234},
        {"NSMutableString carrying an escaped byte",
         [&] {
             return indexArchive({.elements = {itemArchive({.name = ".x_" + escaped, .nameAsMutableString = true})}});
         },
         ".x_\xff", 1234},
        {"everything at once",
         [] {
             return indexArchive({.elements = {itemArchive({.name = ".x_\xc3\xa9", .size = 0, .integersBehindUid = true,
                                                            .nameAsMutableString = true})},
                                  .className = "NSMutableArray",
                                  .integersBehindUid = true,
                                  .elementsAsMutableData = true});
         },
         ".x_\xc3\xa9", 0},
        {"top-level keys in another order",
         [] {
             return indexArchive({.elements = {itemArchive({})}, .tweak = [](KeyedArchive &archive) {
                                      // Move "$version" to the end.
                                      plist_dict_remove_item(archive.root.get(), "$version");
                                      plist_dict_set_item(archive.root.get(), "$version", plist_new_uint(100000));
                                  }});
         },
         ".x_Report.pdf", 1234},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto decoded = decodeArchive(c.archive());
        ASSERT_TRUE(decoded);
        ASSERT_EQ(decoded->items.size(), 1u);
        EXPECT_EQ(decoded->itemCount, 1u);
        const ArchivedItem &item = decoded->items[0];
        EXPECT_EQ(item.name, c.expectedName);
        EXPECT_EQ(item.itemSize, c.expectedSize);
        EXPECT_EQ(item.modificationTime.seconds, 1700000000u);
        EXPECT_EQ(item.modificationTime.nanoseconds, 42u);
        EXPECT_EQ(item.recordLength, c.expectedName.size() + 25);
        EXPECT_EQ(decoded->recordLength, 20 + item.recordLength);
    }
}

TEST(ArchiveFileDecoding, severalHandMadeRecordsKeepTheirOrder) {
    auto decoded = decodeArchive(indexArchive({.elements = {itemArchive({.name = ".x_1"}), itemArchive({.name = ".x_2"}),
                                                            itemArchive({.name = ".x_3"})}}));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->items.size(), 3u);
    EXPECT_EQ(decoded->items[0].name, ".x_1");
    EXPECT_EQ(decoded->items[1].name, ".x_2");
    EXPECT_EQ(decoded->items[2].name, ".x_3");
}

// ---- Malformed input ---------------------------------------------------------------------------

namespace {

struct Malformed {
    std::string what;
    std::string bytes;
};

std::vector<Malformed> malformedInputs() {
    std::vector<Malformed> cases;
    auto add = [&](std::string what, std::string bytes) { cases.push_back({std::move(what), std::move(bytes)}); };
    auto withTop = [](std::function<void(KeyedArchive &)> tweak) {
        return indexArchive({.elements = {itemArchive({})}, .tweak = std::move(tweak)});
    };

    add("not a plist", "hello, this is not a property list at all; no, not at all");
    add("bplist00 and garbage", "bplist00" + std::string(60, '\x5a'));
    add("only the header", "bplist00");
    {
        KeyedArchive archive;
        plist_dict_set_item(archive.top, "Struct length", plist_new_uint(20));
        plist_dict_set_item(archive.top, "Number of items", plist_new_uint(0));
        add("XML plist", toXml(archive.root.get()));
    }
    add("a plist that is not a keyed archive", [] {
        Plist root(plist_new_dict());
        plist_dict_set_item(root.get(), "Struct length", plist_new_uint(20));
        return toBinary(root.get());
    }());
    add("another archiver", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.root.get(), "$archiver", plist_new_string("NSArchiver"));
        }));
    add("another version", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.root.get(), "$version", plist_new_uint(99999));
        }));
    add("$objects not starting with $null", withTop([](KeyedArchive &a) {
            plist_array_set_item(a.objects, plist_new_string("null"), 0);
        }));
    add("$top is an array", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.root.get(), "$top", plist_new_array());
        }));
    add("$objects is a dictionary", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.root.get(), "$objects", plist_new_dict());
        }));
    add("list is an inline array", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.top, "List of items recorded", plist_new_array());
        }));
    add("list UID out of range", withTop([](KeyedArchive &a) {
            plist_dict_set_item(a.top, "List of items recorded", plist_new_uid(99));
        }));
    add("array class is not an array", withTop([](KeyedArchive &a) {
            plist_t arrayClass = plist_array_get_item(a.objects, 3);
            plist_dict_set_item(arrayClass, "$classname", plist_new_string("NSDictionary"));
        }));
    add("array without class", withTop([](KeyedArchive &a) {
            plist_dict_remove_item(plist_array_get_item(a.objects, 1), "$class");
        }));
    // Raw bytes libplist would never write.
    add("array containing itself", rawPlist({byteString({0xA1, 0x00})}));
    add("two arrays containing each other", rawPlist({byteString({0xA1, 0x01}), byteString({0xA1, 0x00})}));
    add("dictionary holding itself", rawPlist({byteString({0xD1, 0x01, 0x00}), byteString({0x51, 'k'})}));
    add("array shared by two parents",
        rawPlist({byteString({0xA2, 0x01, 0x01}), byteString({0xA1, 0x02}), byteString({0x10, 0x05})}));
    {
        // 40 nested arrays.
        std::vector<std::string> objects;
        for (unsigned i = 0; i < 40; ++i)
            objects.push_back(byteString({0xA1, i + 1}));
        objects.push_back(byteString({0x10, 0x01}));
        add("nesting too deep", rawPlist(objects));
    }
    add("duplicate dictionary keys",
        rawPlist({byteString({0xD2, 0x01, 0x01, 0x02, 0x02}), byteString({0x51, 'k'}), byteString({0x10, 0x01})}));
    add("dictionary key is a number", rawPlist({byteString({0xD1, 0x01, 0x01}), byteString({0x10, 0x05})}));
    add("huge length nibble",
        rawPlist({byteString({0xA1, 0x01}), byteString({0x4F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}));
    add("length given by a 32768-byte integer", rawPlist({byteString({0xA1, 0x01}), byteString({0x4F, 0x1F, 0x01})}));
    add("length given by a string", rawPlist({byteString({0xA1, 0x01}), byteString({0x4F, 0x51, 0x01, 'x'})}));
    add("unknown marker", rawPlist({byteString({0xA1, 0x01}), byteString({0x70})}));
    add("reference past the objects", rawPlist({byteString({0xA1, 0x09})}));
    add("top object past the objects", rawPlist({byteString({0x10, 0x01})}, 5));
    {
        std::string valid = rawPlist({byteString({0xA1, 0x01}), byteString({0x10, 0x05})});
        std::string outOfBounds = valid;
        // Offset table start points past the trailer.
        outOfBounds.replace(outOfBounds.size() - 8, 8, bigEndian(valid.size() + 100, 8));
        add("offset table out of bounds", outOfBounds);
        std::string intoHeader = valid;
        intoHeader[intoHeader.size() - 32 - 2] = 0x02;  // first object's offset inside "bplist00"
        add("object offset inside the header", intoHeader);
        std::string pastTable = valid;
        pastTable[pastTable.size() - 32 - 1] = static_cast<char>(valid.size() - 32 - 2);  // into the table
        add("object offset inside the offset table", pastTable);
        std::string tooMany = valid;
        tooMany.replace(tooMany.size() - 24, 8, bigEndian(uint64_t{1} << 60, 8));
        add("absurd object count", tooMany);
        std::string zeroRef = valid;
        zeroRef[zeroRef.size() - 32 + 7] = 0;
        add("reference size 0", zeroRef);
        std::string wideOffsets = valid;
        wideOffsets[wideOffsets.size() - 32 + 6] = 9;
        add("offset size 9", wideOffsets);
    }
    return cases;
}

} // namespace

std::vector<std::string> namesIn(const ArchiveStruct &index) {
    std::vector<std::string> names;
    for (const ArchivedItem &item : index.items)
        names.push_back(item.name);
    return names;
}
/// An index whose count, length or single records are damaged: decoding keeps every record
/// it can read.
struct Damaged {
    std::string what;
    std::string bytes;
    std::vector<std::string> kept;  ///< names of the records that must come back
};

std::vector<Damaged> damagedButReadableInputs() {
    std::vector<Damaged> cases;
    const std::vector<std::string> two = {itemArchive({.name = ".x_one"}), itemArchive({.name = ".x_two"})};
    const std::vector<std::string> both = {".x_one", ".x_two"};
    auto withTop = [&](std::string what, std::function<void(KeyedArchive &)> tweak) {
        cases.push_back({std::move(what), indexArchive({.elements = two, .tweak = std::move(tweak)}), both});
    };
    auto withCount = [&](std::string what, uint64_t count) {
        cases.push_back({std::move(what), indexArchive({.elements = two, .count = count}), both});
    };
    // The count and the length are recomputed from the list: whatever they say costs nothing.
    withTop("count is a string", [](KeyedArchive &a) { plist_dict_set_item(a.top, "Number of items", plist_new_string("1")); });
    withTop("struct length missing", [](KeyedArchive &a) { plist_dict_remove_item(a.top, "Struct length"); });
    withTop("count missing", [](KeyedArchive &a) { plist_dict_remove_item(a.top, "Number of items"); });
    withTop("count behind a UID to a string", [](KeyedArchive &a) {
        plist_dict_set_item(a.top, "Number of items", plist_new_uid(a.add(plist_new_string("1"))));
    });
    withTop("count behind UID 0 ($null)", [](KeyedArchive &a) { plist_dict_set_item(a.top, "Number of items", plist_new_uid(0)); });
    withCount("count above the elements", 3);
    withCount("count below the elements", 1);
    withCount("negative count", static_cast<uint64_t>(-1));
    withCount("absurd count", uint64_t{1} << 40);
    cases.push_back({"items counted but no list", indexArchive({.elements = {}, .count = 1, .withList = false}), {}});

    // One element of the list is no record: the other stays. Objects are $null, the list, the
    // two records, the list's class.
    auto secondElement = [&](std::string what, std::function<void(KeyedArchive &)> tweak) {
        cases.push_back({std::move(what), indexArchive({.elements = two, .tweak = std::move(tweak)}), {".x_one"}});
    };
    secondElement("element UID out of range", [](KeyedArchive &a) {
        plist_t elements = plist_dict_get_item(plist_array_get_item(a.objects, 1), "NS.objects");
        plist_array_set_item(elements, plist_new_uid(1000), 1);
    });
    secondElement("element is a string", [](KeyedArchive &a) { plist_array_set_item(a.objects, plist_new_string("bplist00"), 3); });
    secondElement("element is not an archive", [](KeyedArchive &a) {
        plist_array_set_item(a.objects, plist_new_data("bplist00", 8), 3);
    });

    // One record damaged inside: the other stays.
    auto damagedRecord = [&](std::string what, ItemShape shape) {
        cases.push_back({std::move(what), indexArchive({.elements = {itemArchive({.name = ".x_good"}), itemArchive(shape)}}),
                         {".x_good"}});
    };
    damagedRecord("modification date of 7 bytes", {.date = std::string(7, '\x01')});
    damagedRecord("modification date of 9 bytes", {.date = std::string(9, '\x01')});
    damagedRecord("modification date is an integer", {.tweak = [](KeyedArchive &a) {
                      plist_dict_set_item(a.top, "Modification date", plist_new_uint(12));
                  }});
    damagedRecord("item size is a string", {.tweak = [](KeyedArchive &a) {
                      plist_dict_set_item(a.top, "Item size", plist_new_string("12"));
                  }});
    damagedRecord("item name is inline", {.tweak = [](KeyedArchive &a) {
                      plist_dict_set_item(a.top, "Item name", plist_new_string("x"));
                  }});
    damagedRecord("item name UID out of range", {.tweak = [](KeyedArchive &a) {
                      plist_dict_set_item(a.top, "Item name", plist_new_uid(7));
                  }});
    damagedRecord("item name is a number", {.tweak = [](KeyedArchive &a) { plist_array_set_item(a.objects, plist_new_uint(5), 1); }});
    damagedRecord("item name missing", {.tweak = [](KeyedArchive &a) { plist_dict_remove_item(a.top, "Item name"); }});
    damagedRecord("item name empty", {.name = ""});
    damagedRecord("item name with a slash", {.name = ".x_a/b"});
    damagedRecord("item name with a high lone surrogate", {.name = ".x_\xed\xa0\x80"});
    damagedRecord("item name with a lone surrogate below the escapes", {.name = ".x_\xed\xb0\x81"});
    return cases;
}

// A count that disagrees with the list, or one damaged record, once threw the whole index away,
// and every item of the trash was archived again: every good record is kept, in the file too.
TEST(ArchiveFileDecoding, aWrongCountOrADamagedRecordLosesNoOtherRecord) {
    for (const Damaged &c : damagedButReadableInputs()) {
        SCOPED_TRACE(c.what);
        auto decoded = decodeArchive(c.bytes);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(namesIn(*decoded), c.kept);
        EXPECT_EQ(decoded->itemCount, c.kept.size());

        TestDir dir;
        std::string folder = dir.path() + "/";
        dir.writeFile(std::string(kIndexFileName), c.bytes);
        ArchiveStruct index;
        EXPECT_TRUE(readArchiveStats(folder, index));
        EXPECT_EQ(namesIn(index), c.kept);
    }
}

TEST(ArchiveFileDecoding, rejectsMalformedInput) {
    for (const Malformed &c : malformedInputs()) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(decodeArchive(c.bytes).has_value());
    }
}

TEST(ArchiveFileDecoding, rejectsEveryTruncationOfAValidFile) {
    ArchiveStruct index = indexOf({record(".x_a", 1, 2, 3), record(std::string(".x_\xff"), 4, 5, 6)});
    std::string valid = encodeArchive(index);
    ASSERT_TRUE(decodeArchive(valid));
    for (size_t length = 0; length < valid.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(decodeArchive(std::string_view(valid).substr(0, length)).has_value());
    }
}

TEST(ArchiveFileDecoding, aTruncatedRecordIsLeftOutAndTheOthersKept) {
    std::string item = itemArchive({});
    for (size_t length = 0; length < item.size(); ++length) {
        SCOPED_TRACE(length);
        auto decoded = decodeArchive(indexArchive({.elements = {itemArchive({.name = ".x_good"}), item.substr(0, length)}}));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(namesIn(*decoded), std::vector<std::string>{".x_good"});
    }
}

/// An index file holding bytes reads as an empty index, and is rewritten as one.
void expectReadAsEmptyAndRewritten(const std::string &bytes) {
    TestDir dir;
    std::string folder = dir.path() + "/";
    dir.writeFile(std::string(kIndexFileName), bytes);
    ArchiveStruct index = indexOf({record(".x_stale", 1, 1)});
    EXPECT_FALSE(readArchiveStats(folder, index));
    expectSameIndex(index, ArchiveStruct{});
    auto onDisk = decodeArchive(indexFile(folder));
    ASSERT_TRUE(onDisk);
    expectSameIndex(*onDisk, ArchiveStruct{});
}

TEST(ArchiveFileDecoding, malformedFileIsReplacedByAnEmptyIndex) {
    std::vector<Malformed> cases = malformedInputs();
    cases.push_back({"empty file", ""});
    for (const Malformed &c : cases) {
        SCOPED_TRACE(c.what);
        expectReadAsEmptyAndRewritten(c.bytes);
    }
}

// ---- Files -------------------------------------------------------------------------------------

TEST(ArchiveFileStorage, missingFileIsCreatedHoldingAnEmptyIndex) {
    TestDir dir;
    std::string folder = dir.path() + "/";
    ArchiveStruct index = indexOf({record(".x_stale", 1, 1)});
    EXPECT_FALSE(readArchiveStats(folder, index));
    expectSameIndex(index, ArchiveStruct{});
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{std::string(kIndexFileName)});
    auto onDisk = decodeArchive(indexFile(folder));
    ASSERT_TRUE(onDisk);
    expectSameIndex(*onDisk, ArchiveStruct{});
    // Read again: now it is there and well formed.
    EXPECT_TRUE(readArchiveStats(folder, index));
}

TEST(ArchiveFileStorage, writeReplacesTheFileAndLeavesNoTemporaryFile) {
    TestDir dir;
    std::string folder = dir.path() + "/";
    std::string path = folder + std::string(kIndexFileName);
    ArchiveStruct first = indexOf({record(".x_first", 1, 1)});
    ArchiveStruct second = indexOf({record(".x_second", 2, 2), record(".x_third", 3, 3)});
    ASSERT_TRUE(writeArchiveStats(folder, first));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_TRUE(writeArchiveStats(folder, second));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{std::string(kIndexFileName)});
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    // A new file renamed over the old one, never the old one rewritten in place.
    EXPECT_NE(after.st_ino, before.st_ino);
    auto onDisk = decodeArchive(indexFile(folder));
    ASSERT_TRUE(onDisk);
    expectSameIndex(*onDisk, second);
}

TEST(ArchiveFileStorage, fileNameCanBeChosen) {
    TestDir dir;
    std::string folder = dir.path() + "/";
    ArchiveStruct index = indexOf({record(".x_a", 1, 1)});
    ASSERT_TRUE(writeArchiveStats(folder, index, "OtherIndex"));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"OtherIndex"});
    ArchiveStruct read;
    EXPECT_TRUE(readArchiveStats(folder, read, "OtherIndex"));
    expectSameIndex(read, index);
}

TEST(ArchiveFileStorage, writeNeedsAFolder) {
    ArchiveStruct index;
    EXPECT_FALSE(writeArchiveStats("", index));
}

TEST(ArchiveFileStorage, failedWriteIsNotReported) {
    TestDir dir;
    std::string folder = dir.path() + "/missing/";
    ArchiveStruct index = indexOf({record(".x_a", 1, 1)});
    EXPECT_TRUE(writeArchiveStats(folder, index));
    EXPECT_FALSE(std::filesystem::exists(folder));
}

// ---- Pruning records whose copies are gone -----------------------------------------------------

namespace {

/// A cache folder with two date folders; returns the folder path ending in "/".
std::string makeCache(TestDir &dir) {
    dir.makeDir(".TrashCacheFolder/2008-03-14 15_42 +0100");
    dir.makeDir(".TrashCacheFolder/2009-01-02 03_04 +0000");
    return dir / ".TrashCacheFolder/";
}


} // namespace

// A second item of a name within one minute is stored under a numbered name but recorded under
// its trash name; a folder's copy has another size than the trashed folder (its names are
// longer). Neither may lose its record at start-up, or the item is archived again at every
// start. Work in progress is no copy.
TEST(ArchiveFilePruning, numberedCopiesAndFoldersOfAnotherSizeKeepTheirRecords) {
    TestDir dir;
    std::string cache = makeCache(dir);
    const std::string minute = ".TrashCacheFolder/2009-01-02 03_04 +0000/";
    std::string first = dir.writeFile(minute + ".x_Report.pdf", "first");
    std::string second = dir.writeFile(minute + ".x_Report-1.pdf", "second!");
    std::string folder = dir.makeDir(minute + ".x_Photos-2");
    dir.writeFile(minute + ".quillet-partial-1-1/.x_half", "half");
    ArchiveStruct index;
    appendItemToArchive(*buildArchivedItem(first), &index);
    ArchivedItem secondRecord = *buildArchivedItem(second);
    secondRecord.name = ".x_Report.pdf"; // as the trashed entry, "Report.pdf", gave it
    appendItemToArchive(secondRecord, &index);
    ArchivedItem folderRecord = *buildArchivedItem(folder);
    folderRecord.name = ".x_Photos";
    folderRecord.itemSize = 12345; // the trashed folder's own size
    appendItemToArchive(folderRecord, &index);
    appendItemToArchive(record(".x_half", 4, buildArchivedItem(first)->modificationTime.seconds), &index);
    ASSERT_TRUE(writeArchiveStats(cache, index));

    checkForArchivedFiles(cache);
    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned));
    EXPECT_EQ(namesIn(pruned), (std::vector<std::string>{".x_Report.pdf", ".x_Report.pdf", ".x_Photos"}));
}

// Copies present that no record answers for (the daemon ended before saving its index) are
// handed back, so that their entries are recorded instead of copied again.
TEST(ArchiveFilePruning, copiesWithoutARecordAreHandedBack) {
    TestDir dir;
    std::string cache = makeCache(dir);
    const std::string minute = ".TrashCacheFolder/2008-03-14 15_42 +0100/";
    std::string recorded = dir.writeFile(minute + ".x_recorded", "1");
    std::string orphan = dir.writeFile(minute + ".x_orphan", "22");
    std::string orphanFolder = dir.makeDir(minute + ".x_Folder");
    ArchiveStruct index;
    appendItemToArchive(*buildArchivedItem(recorded), &index);
    ASSERT_TRUE(writeArchiveStats(cache, index));
    auto folder = sys::openDirectory(cache);
    ASSERT_TRUE(folder.ok());
    UnrecordedCopies unrecorded;
    checkForArchivedFilesAt(folder->get(), cache, {}, &unrecorded);
    ArchivedItem orphanRecord = *buildArchivedItem(orphan);
    ASSERT_TRUE(unrecorded.contains(keyOf(orphanRecord)));
    EXPECT_EQ(unrecorded[keyOf(orphanRecord)].dateFolder, "2008-03-14 15_42 +0100");
    EXPECT_EQ(unrecorded[keyOf(orphanRecord)].storedName, ".x_orphan");
    ArchivedItemKey folderKey = keyOf(*buildArchivedItem(orphanFolder));
    folderKey.itemSize = kAnyFolderSize;
    ASSERT_TRUE(unrecorded.contains(folderKey));
    EXPECT_EQ(unrecorded[folderKey].storedName, ".x_Folder");
    EXPECT_FALSE(unrecorded.contains(keyOf(*buildArchivedItem(recorded))));
    EXPECT_EQ(unrecorded.size(), 2u);
}

TEST(ArchiveFilePruning, dropsRecordsWhoseCopyIsGoneFromEveryDateFolder) {
    TestDir dir;
    std::string cache = makeCache(dir);
    std::string kept = dir.writeFile(".TrashCacheFolder/2009-01-02 03_04 +0000/.x_kept", "12345");
    std::string keptFolder = dir.makeDir(".TrashCacheFolder/2008-03-14 15_42 +0100/.x_Photos");
    std::string gone = dir.writeFile(".TrashCacheFolder/2008-03-14 15_42 +0100/.x_gone", "abc");
    std::string resized = dir.writeFile(".TrashCacheFolder/2008-03-14 15_42 +0100/.x_resized", "abc");
    // A stray file at the top is not a date folder and its name must not keep a record alive.
    dir.writeFile(".TrashCacheFolder/.x_stray", "");

    ArchiveStruct index;
    for (const std::string &path : {kept, keptFolder, gone, resized}) {
        auto item = buildArchivedItem(path);
        ASSERT_TRUE(item) << path;
        appendItemToArchive(*item, &index);
    }
    appendItemToArchive(*buildArchivedItem(dir / ".TrashCacheFolder/.x_stray"), &index);
    ASSERT_TRUE(writeArchiveStats(cache, index));

    ASSERT_EQ(::unlink(gone.c_str()), 0);
    dir.writeFile(".TrashCacheFolder/2008-03-14 15_42 +0100/.x_resized", "abcdef");
    checkForArchivedFiles(cache);

    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned));
    EXPECT_EQ(namesIn(pruned), (std::vector<std::string>{".x_kept", ".x_Photos"}));
    EXPECT_EQ(pruned.itemCount, 2u);
    EXPECT_EQ(pruned.recordLength, archiveStructSize(&pruned));
}

TEST(ArchiveFilePruning, matchesByNameSizeAndSecondInAnyDateFolder) {
    TestDir dir;
    std::string cache = makeCache(dir);
    std::string copy = dir.writeFile(".TrashCacheFolder/2009-01-02 03_04 +0000/.x_doc", "data");
    struct timespec times[2] = {{1600000000, 123}, {1600000000, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);

    ArchiveStruct index;
    appendItemToArchive(record(".x_doc", 4, 1600000000, 999), &index);  // other nanoseconds: kept
    appendItemToArchive(record(".x_doc", 4, 1600000001, 123), &index);  // other second: dropped
    appendItemToArchive(record(".x_doc", 5, 1600000000, 123), &index);  // other size: dropped
    appendItemToArchive(record(".x_Doc", 4, 1600000000, 123), &index);  // other name: dropped
    ASSERT_TRUE(writeArchiveStats(cache, index));

    checkForArchivedFiles(cache);
    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned));
    ASSERT_EQ(pruned.items.size(), 1u);
    EXPECT_EQ(pruned.items[0].modificationTime.nanoseconds, 999u);
}

TEST(ArchiveFilePruning, copyOfANameWithThePrefixKeepsItsRecord) {
    TestDir dir;
    std::string cache = makeCache(dir);
    // ".x_secret" trashed: the copy is ".x_.x_secret", the record ".x_secret".
    std::string copy = dir.writeFile(".TrashCacheFolder/2009-01-02 03_04 +0000/.x_.x_secret", "s");
    // "plain" trashed, its copy ".x_plain"; and one left under its visible name "Box".
    std::string plain = dir.writeFile(".TrashCacheFolder/2009-01-02 03_04 +0000/.x_plain", "p");
    std::string box = dir.writeFile(".TrashCacheFolder/2008-03-14 15_42 +0100/Box", "b");
    ArchiveStruct index;
    for (auto [path, name] : {std::pair{copy, ".x_secret"}, {plain, ".x_plain"}, {box, ".x_Box"}}) {
        auto item = buildArchivedItem(path);
        ASSERT_TRUE(item);
        item->name = name;
        appendItemToArchive(*item, &index);
    }
    appendItemToArchive(record(".x_.x_secret", 1, 1), &index);  // no copy ".x_.x_.x_secret"
    ASSERT_TRUE(writeArchiveStats(cache, index));

    checkForArchivedFiles(cache);
    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned));
    EXPECT_EQ(namesIn(pruned), (std::vector<std::string>{".x_secret", ".x_plain", ".x_Box"}));
}

// A date-named link, or a date folder another account planted, is never entered: a copy seen
// only through one does not keep its record. The index itself may carry another name.
TEST(ArchiveFilePruning, linkedOrForeignDateFoldersAreNeverEnteredAndCustomIndexNamesWork) {
    TestDir dir;
    std::string cache = makeCache(dir);
    std::string elsewhere = dir.makeDir("elsewhere");
    std::string linked = dir.writeFile("elsewhere/.x_linked", "1");
    ASSERT_EQ(::symlink(elsewhere.c_str(), (cache + "2010-01-01 00_00 +0000").c_str()), 0);
    std::string own = dir.writeFile(".TrashCacheFolder/2010-01-02 00_00 +0000/.x_own", "22");
    std::string foreign = dir.writeFile(".TrashCacheFolder/2010-01-03 00_00 +0000/.x_foreign", "333");
    ASSERT_EQ(::chown((cache + "2010-01-03 00_00 +0000").c_str(), 12345, 12345), 0);
    ArchiveStruct index;
    appendItemToArchive(*buildArchivedItem(linked), &index);
    appendItemToArchive(*buildArchivedItem(own), &index);
    appendItemToArchive(*buildArchivedItem(foreign), &index);
    appendItemToArchive(record(".x_missing", 1, 1), &index);
    ASSERT_TRUE(writeArchiveStats(cache, index, "Index2"));

    checkForArchivedFiles(cache, "Index2");
    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned, "Index2"));
    EXPECT_EQ(namesIn(pruned), std::vector<std::string>{".x_own"});
}

// The index and the cache folder are never written through a link: not the folder itself, and
// not a link planted under the index's name, which is replaced rather than followed.
TEST(ArchiveFileTrust, linksAreNeverFollowedToReadOrWriteTheIndex) {
    TestDir dir;
    std::string cache = makeCache(dir);
    std::string outside = dir.writeFile("outside/precious", "keep me");
    ASSERT_EQ(::symlink(outside.c_str(), (cache + "ArchivedFileData").c_str()), 0);
    ArchiveStruct index;
    EXPECT_FALSE(readArchiveStats(cache, index)); // a link reads as no index ...
    EXPECT_EQ(quillet::test::readFileText(outside), "keep me");   // ... and what it points to is untouched
    struct stat st {};
    ASSERT_EQ(::lstat((cache + "ArchivedFileData").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the planted link was not replaced by an index";

    std::string linkedCache = dir / "linked-cache/";
    ASSERT_EQ(::symlink(dir.makeDir("target").c_str(), (dir / "linked-cache").c_str()), 0);
    appendItemToArchive(record(".x_a", 1, 1), &index);
    EXPECT_TRUE(writeArchiveStats(linkedCache, index));
    checkForArchivedFiles(linkedCache);
    EXPECT_TRUE(quillet::test::listNames(dir / "target").empty()) << "an index was written through the link";
}

TEST(ArchiveFilePruning, malformedIndexEndsEmpty) {
    TestDir dir;
    std::string cache = makeCache(dir);
    dir.writeFile(".TrashCacheFolder/2009-01-02 03_04 +0000/.x_doc", "data");
    dir.writeFile(".TrashCacheFolder/ArchivedFileData", "not an index");
    checkForArchivedFiles(cache);
    ArchiveStruct index;
    EXPECT_TRUE(readArchiveStats(cache, index));
    EXPECT_TRUE(index.items.empty());
}

TEST(ArchiveFilePruning, handlesTenThousandRecordsAndCopies) {
    TestDir dir;
    std::string cache = makeCache(dir);
    ArchiveStruct index;
    char name[32];
    for (int i = 0; i < 10000; ++i) {
        std::snprintf(name, sizeof name, ".x_file%05d", i);
        std::string folder = i % 2 ? "2008-03-14 15_42 +0100/" : "2009-01-02 03_04 +0000/";
        std::string path = cache + folder + name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        ::close(fd);
        // Every third record has no copy any more: its name is different.
        if (i % 3 == 0) {
            appendItemToArchive(record(std::string(name) + ".old", 1, 1), &index);
        } else {
            auto item = buildArchivedItem(path);
            ASSERT_TRUE(item);
            appendItemToArchive(*item, &index);
        }
    }
    ASSERT_TRUE(writeArchiveStats(cache, index));
    checkForArchivedFiles(cache);

    ArchiveStruct pruned;
    ASSERT_TRUE(readArchiveStats(cache, pruned));
    EXPECT_EQ(pruned.items.size(), 10000u - 3334u);
    for (const ArchivedItem &item : pruned.items)
        EXPECT_EQ(item.name.find(".old"), std::string::npos);
}

// ---- The structural check in front of libplist -------------------------------------------------

namespace {

bool passesCheck(const std::string &bytes, size_t maxBytes = 4096) {
    return bplist::checkBinaryPlist(bytes, {.maxBytes = maxBytes}).has_value();
}

/// n arrays, each holding the next; the innermost holds an integer.
std::string nestedArrays(unsigned n) {
    std::vector<std::string> objects;
    for (unsigned i = 0; i < n; ++i)
        objects.push_back(byteString({0xA1, i + 1}));
    objects.push_back(byteString({0x10, 0x01}));
    return rawPlist(objects);
}

} // namespace

TEST(BinaryPlistCheck, nestingIsBoundedAtThirtyTwoLevelsBelowTheTop) {
    EXPECT_TRUE(passesCheck(nestedArrays(33)));
    EXPECT_FALSE(passesCheck(nestedArrays(34)));
}

TEST(BinaryPlistCheck, sizeIsCapped) {
    std::string plist = nestedArrays(1);
    EXPECT_TRUE(passesCheck(plist, plist.size()));
    EXPECT_FALSE(passesCheck(plist, plist.size() - 1));
}

TEST(BinaryPlistCheck, sharedStringsAreAcceptedSharedCollectionsAreNot) {
    // [s, s] with one string object: what Apple's writer does for equal strings.
    EXPECT_TRUE(passesCheck(rawPlist({byteString({0xA2, 0x01, 0x01}), byteString({0x51, 'x'})})));
    EXPECT_FALSE(passesCheck(rawPlist({byteString({0xA2, 0x01, 0x01}), byteString({0xA1, 0x02}), byteString({0x51, 'x'})})));
}

TEST(BinaryPlistCheck, sharedDataCannotMultiplyBeyondTheFile) {
    // One 1000-byte data object referenced from 1000 array slots: libplist would copy it 1000
    // times, a megabyte from a file of 3 kB.
    std::string array = byteString({0xAF, 0x11}) + bigEndian(1000, 2);
    for (int i = 0; i < 1000; ++i)
        array += bigEndian(1, 2);
    std::string data = byteString({0x4F, 0x11}) + bigEndian(1000, 2) + std::string(1000, 'd');
    std::string bytes = "bplist00";
    uint64_t arrayOffset = bytes.size();
    bytes += array;
    uint64_t dataOffset = bytes.size();
    bytes += data;
    uint64_t tableStart = bytes.size();
    bytes += bigEndian(arrayOffset, 2) + bigEndian(dataOffset, 2);
    bytes += std::string(6, '\0') + byteString({2, 2}) + bigEndian(2, 8) + bigEndian(0, 8) + bigEndian(tableStart, 8);
    EXPECT_FALSE(passesCheck(bytes, 1 << 20));

    // Referenced 10 times, it is fine.
    std::string few = bytes;
    few.replace(arrayOffset, 4, byteString({0xAF, 0x11}) + bigEndian(10, 2));
    EXPECT_TRUE(passesCheck(few, 1 << 20));
}

TEST(BinaryPlistCheck, dictionaryKeysMustBeDistinctAsLibplistSeesThem) {
    // "k" as ASCII and "k" as UTF-16 are the same key once read.
    EXPECT_FALSE(passesCheck(rawPlist({byteString({0xD2, 0x01, 0x02, 0x03, 0x03}), byteString({0x51, 'k'}),
                                       byteString({0x61, 0x00, 'k'}), byteString({0x10, 0x01})})));
    // A NUL would cut a key short in libplist.
    EXPECT_FALSE(passesCheck(
        rawPlist({byteString({0xD1, 0x01, 0x02}), byteString({0x53, 'k', 0, 'x'}), byteString({0x10, 0x01})})));
    // A lone surrogate would be dropped by libplist.
    EXPECT_FALSE(passesCheck(rawPlist(
        {byteString({0xD1, 0x01, 0x02}), byteString({0x62, 0x00, 'k', 0xDC, 0x80}), byteString({0x10, 0x01})})));
    // The checked list refers to the bytes: they must stay alive.
    const std::string bytes = rawPlist({byteString({0xD2, 0x01, 0x02, 0x03, 0x04}), byteString({0x51, 'k'}),
                                        byteString({0x62, 0x00, 'k', 0x00, 'k'}), byteString({0x10, 0x07}),
                                        byteString({0x10, 0x08})});
    auto plist = bplist::checkBinaryPlist(bytes, {.maxBytes = 4096});
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->dictValue(plist->topObject(), "kk"), 4u);
    EXPECT_EQ(plist->dictValue(plist->topObject(), "k"), 3u);
    EXPECT_FALSE(plist->dictValue(plist->topObject(), "x"));
}

TEST(BinaryPlistCheck, stringBytesUndoTheEscapes) {
    const std::string bytes =
        rawPlist({byteString({0xA4, 0x01, 0x02, 0x03, 0x04}), byteString({0x63, 0x00, 'a', 0xDC, 0xFF, 0x00, 0xE9}),
                  byteString({0x62, 0xD8, 0x3D, 0xDE, 0x00}), byteString({0x61, 0xD8, 0x00}), byteString({0x52, 'o', 0xFF})});
    auto plist = bplist::checkBinaryPlist(bytes, {.maxBytes = 4096});
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->stringBytes(1), std::string("a\xff\xc3\xa9"));
    EXPECT_EQ(plist->stringBytes(2), std::string("\xf0\x9f\x98\x80"));
    EXPECT_FALSE(plist->stringBytes(3));  // a lone high surrogate stands for no byte
    EXPECT_EQ(plist->stringBytes(4), std::string("o\xff"));
    EXPECT_FALSE(plist->stringBytes(0));

    EXPECT_EQ(bplist::escapeInvalidUtf8("plain \xc3\xa9"), "plain \xc3\xa9");
    EXPECT_EQ(bplist::escapeInvalidUtf8("\xff\x80"), "\xed\xb3\xbf\xed\xb2\x80");
    EXPECT_EQ(bplist::escapeInvalidUtf8("\xed\xa0\x80"), "\xed\xb3\xad\xed\xb2\xa0\xed\xb2\x80");
}

TEST(BinaryPlistCheck, manyKeysAreCheckedForDuplicatesAsTheyRead) {
    Plist root(plist_new_dict());
    char key[16];
    for (int i = 0; i < 2000; ++i) {
        std::snprintf(key, sizeof key, "k%04d", i);
        plist_dict_set_item(root.get(), key, plist_new_uint(static_cast<uint64_t>(i)));
    }
    const std::string bytes = toBinary(root.get());
    auto plist = bplist::checkBinaryPlist(bytes, {.maxBytes = 1 << 20});
    ASSERT_TRUE(plist);
    auto value = plist->dictValue(plist->topObject(), "k1234");
    ASSERT_TRUE(value);
    EXPECT_EQ(plist->integer(*value), 1234u);

    // The last key spelt again as the first: two objects with the same text.
    std::string duplicate = bytes;
    size_t last = duplicate.find("Uk1999");
    ASSERT_NE(last, std::string::npos);
    duplicate.replace(last, 6, "Uk0000");
    EXPECT_FALSE(passesCheck(duplicate, 1 << 20));
}

TEST(BinaryPlistCheck, valuesAreReadAsLibplistReadsThem) {
    const std::string bytes = rawPlist({
        byteString({0xA7, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}),
        byteString({0x10, 0xFE}),
        byteString({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),  // -1
        // 16 bytes: libplist keeps the lower half.
        byteString({0x14, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0x01, 0x02}),
        byteString({0x81, 0x01, 0x02}),
        byteString({0x43, 'a', 0, 'b'}),
        byteString({0x40}),
        byteString({0x51, 'x'}),
    });
    auto plist = bplist::checkBinaryPlist(bytes, {.maxBytes = 4096});
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->integer(1), 0xFEu);
    EXPECT_EQ(plist->integer(2), ~uint64_t{0});
    EXPECT_EQ(plist->integer(3), 0x0102u);
    EXPECT_EQ(plist->uid(4), 0x0102u);
    EXPECT_EQ(plist->data(5), std::string_view("a\0b", 3));
    EXPECT_EQ(plist->data(6), std::string_view());
    // Each answers for its own kind only.
    EXPECT_FALSE(plist->integer(4));
    EXPECT_FALSE(plist->uid(1));
    EXPECT_FALSE(plist->data(7));
    EXPECT_FALSE(plist->integer(99));
}

TEST(BinaryPlistCheck, refusesWhatLibplistCannotReadOnlyWhenAsked) {
    struct Case {
        const char *what;
        std::string bytes;
        bool libplistReads;
    };
    const Case cases[] = {
        {"null reached", rawPlist({byteString({0xA1, 0x01}), byteString({0x00})}), false},
        {"fill reached", rawPlist({byteString({0xA1, 0x01}), byteString({0x0F})}), false},
        {"empty UTF-16 value", rawPlist({byteString({0xA1, 0x01}), byteString({0x60})}), false},
        {"empty UTF-16 key", rawPlist({byteString({0xD1, 0x01, 0x02}), byteString({0x60}), byteString({0x10, 0x01})}),
         false},
        {"empty ASCII string", rawPlist({byteString({0xA1, 0x01}), byteString({0x50})}), true},
        {"null nobody reaches", rawPlist({byteString({0xA1, 0x01}), byteString({0x09}), byteString({0x00})}), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(passesCheck(c.bytes));
        EXPECT_EQ(bplist::checkBinaryPlist(c.bytes, {.maxBytes = 4096, .onlyWhatLibplistReads = true}).has_value(),
                  c.libplistReads);
    }
}

// ---- What reading may cost ---------------------------------------------------------------------
//
// Whatever a file says, decoding it allocates at most 8 bytes per byte of the file plus 256 KiB.
// operator new is replaced in this test program so that a test can see the most that decoding
// had allocated at once. The reader builds no libplist tree and takes everything from the bytes
// themselves, so all it allocates goes through operator new.

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

} // namespace

void *operator new(std::size_t size) {
    void *block = std::malloc(size == 0 ? 1 : size);
    if (!block)
        throw std::bad_alloc();
    size_t live = liveBytes.fetch_add(malloc_usable_size(block)) + malloc_usable_size(block);
    size_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
    return block;
}

void operator delete(void *block) noexcept {
    if (!block)
        return;
    liveBytes.fetch_sub(malloc_usable_size(block));
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept { ::operator delete(block); }

namespace {

/// The most bytes allocated at once while work ran, beyond those allocated before it.
size_t peakAllocation(const std::function<void()> &work) {
    size_t before = liveBytes.load();
    peakBytes.store(before);
    work();
    return peakBytes.load() - before;
}

size_t decodingBound(size_t fileBytes) { return 8 * fileBytes + 256 * 1024; }

/// The index archive with one record, whose list element (NS.objects) is replaced by list.
std::string indexWithList(plist_t list, uint64_t count) {
    return indexArchive({.elements = {itemArchive({})}, .count = count, .tweak = [list](KeyedArchive &archive) {
                             plist_dict_set_item(plist_array_get_item(archive.objects, 1), "NS.objects", list);
                         }});
}

plist_t sharedStrings(unsigned n) {
    plist_t array = plist_new_array();
    for (unsigned i = 0; i < n; ++i)
        plist_array_append_item(array, plist_new_string("abc"));
    return array;
}

/// The index of one record mentioned `mentions` times in its list, as Foundation writes an
/// array holding the same object again.
std::string recordMentioned(const std::string &record, unsigned mentions) {
    return indexArchive({.elements = {record}, .count = mentions, .tweak = [mentions](KeyedArchive &archive) {
                             plist_t uids = plist_new_array();
                             for (unsigned i = 0; i < mentions; ++i)
                                 plist_array_append_item(uids, plist_new_uid(2));
                             plist_dict_set_item(plist_array_get_item(archive.objects, 1), "NS.objects", uids);
                         }});
}

/// Indexes made so that a reader building libplist's tree, or reading every record mentioned,
/// would allocate hundreds or thousands of times their size; libplist's writer stores equal
/// strings and UIDs once, so each repeated value below is one object mentioned again and again.
/// The same shapes, larger, are measured by bench/crafted_index.py.
std::vector<Malformed> craftedIndexes() {
    constexpr unsigned n = 10000;
    std::vector<Malformed> cases;
    cases.push_back({"a list of one short string, mentioned in every slot", indexWithList(sharedStrings(n), n)});
    {
        plist_t integers = plist_new_array();
        for (unsigned i = 0; i < n; ++i)
            plist_array_append_item(integers, plist_new_uint(i));
        cases.push_back({"a list of distinct small integers", indexWithList(integers, n)});
    }
    cases.push_back({"one record with a long name, mentioned again and again",
                     recordMentioned(itemArchive({.name = ".x_" + std::string(2000, 'n')}), n)});
    cases.push_back({"a record whose name is a long array of one string",
                     indexArchive({.elements = {itemArchive({.tweak = [](KeyedArchive &archive) {
                                        plist_dict_set_item(archive.top, "Item name",
                                                            plist_new_uid(archive.add(sharedStrings(n))));
                                    }})}})});
    {
        plist_t nested = sharedStrings(100);
        for (int depth = 0; depth < 29; ++depth) {
            plist_t outer = sharedStrings(100);
            plist_array_insert_item(outer, nested, 0);
            nested = outer;
        }
        cases.push_back({"arrays nested 29 deep, each mentioning one string many times", indexWithList(nested, 101)});
    }
    {
        plist_t keys = plist_new_dict();
        char key[16];
        for (unsigned i = 0; i < n; ++i) {
            std::snprintf(key, sizeof key, "k%u", i);
            plist_dict_set_item(keys, key, plist_new_uint(i));
        }
        cases.push_back({"a dictionary of distinct keys where the list belongs", indexWithList(keys, 1)});
    }
    {
        std::string accented;
        for (unsigned i = 0; i < n; ++i)
            accented += "\xc3\xa9";
        cases.push_back({"a long UTF-16 string where the list belongs", indexWithList(plist_new_string(accented.c_str()), 1)});
    }
    return cases;
}

} // namespace

// A crafted index gives no record (it is refused, or its elements are no records) and costs no
// more than the bound; the index on disk ends empty.
TEST(ArchiveFileReadingCost, craftedIndexesGiveNoRecordWithinTheBoundAndEndEmpty) {
    for (const Malformed &c : craftedIndexes()) {
        SCOPED_TRACE(c.what);
        std::optional<ArchiveStruct> decoded;
        size_t peak = peakAllocation([&] { decoded = decodeArchive(c.bytes); });
        EXPECT_TRUE(!decoded.has_value() || decoded->items.empty());
        EXPECT_LE(peak, decodingBound(c.bytes.size())) << c.bytes.size() << " bytes";

        TestDir dir;
        std::string folder = dir.path() + "/";
        dir.writeFile(std::string(kIndexFileName), c.bytes);
        ArchiveStruct index = indexOf({record(".x_stale", 1, 1)});
        (void)readArchiveStats(folder, index);
        expectSameIndex(index, ArchiveStruct{});
        if (!decoded) {
            auto onDisk = decodeArchive(indexFile(folder));
            ASSERT_TRUE(onDisk);
            expectSameIndex(*onDisk, ArchiveStruct{});
        }
    }
}

TEST(ArchiveFileReadingCost, tenThousandRecordsReadWithinTheBound) {
    std::vector<ArchivedItem> items;
    char name[64];
    for (uint32_t i = 0; i < 10000; ++i) {
        std::snprintf(name, sizeof name, ".x_file %05u of the benchmark.txt", i);
        items.push_back(record(name, i * 1000, 1700000000 + i, i));
    }
    ArchiveStruct index = indexOf(std::move(items));
    std::string bytes = encodeArchive(index);
    std::optional<ArchiveStruct> decoded;
    size_t peak = peakAllocation([&] { decoded = decodeArchive(bytes); });
    ASSERT_TRUE(decoded);
    expectSameIndex(*decoded, index);
    EXPECT_LE(peak, decodingBound(bytes.size()));
    // A record kept costs less than the record takes in the file, and nothing else is kept.
    EXPECT_LE(peak, bytes.size());
}

// The list may name a record more than once, as Foundation writes an array holding the same
// object twice; every mention is a record to read and keep. Mentions are charged the record's
// bytes, and all charges together may not exceed the file plus 64 KiB.
TEST(ArchiveFileReadingCost, recordsMayBeMentionedAgainUpToTheSizeOfTheFile) {
    const std::string item = itemArchive({.name = ".x_" + std::string(600, 'r')});
    bool sawRejection = false;
    for (unsigned mentions = 1; mentions < 400 && !sawRejection; ++mentions) {
        SCOPED_TRACE(mentions);
        std::string bytes = recordMentioned(item, mentions);
        bool withinBudget = uint64_t{mentions} * item.size() <= bytes.size() + 64 * 1024;
        std::optional<ArchiveStruct> decoded;
        size_t peak = peakAllocation([&] { decoded = decodeArchive(bytes); });
        ASSERT_EQ(decoded.has_value(), withinBudget);
        EXPECT_LE(peak, decodingBound(bytes.size()));
        if (decoded) {
            ASSERT_EQ(decoded->items.size(), mentions);
            EXPECT_EQ(decoded->items.back().name, ".x_" + std::string(600, 'r'));
        }
        sawRejection = !withinBudget;
    }
    EXPECT_TRUE(sawRejection);
}

TEST(ArchiveFileReadingCost, whatTheListNeverNamesCostsNothingToRead) {
    // A well-formed index carrying a long array of one string that nothing names: a tree of it
    // would take a hundred times the file. It reads as before, without building one.
    std::string bytes = indexArchive({.elements = {itemArchive({})}, .tweak = [](KeyedArchive &archive) {
                                          archive.add(sharedStrings(20000));
                                      }});
    std::optional<ArchiveStruct> decoded;
    size_t peak = peakAllocation([&] { decoded = decodeArchive(bytes); });
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->items.size(), 1u);
    EXPECT_EQ(decoded->items[0].name, ".x_Report.pdf");
    EXPECT_LE(peak, decodingBound(bytes.size()));
}

// The reader takes its answers from the bytes, not from libplist, and still accepts exactly the
// files a libplist reader accepted.
TEST(ArchiveFileDecoding, acceptsWhatALibplistReaderAcceptedAndNothingElse) {
    auto objectsSlot = [](uint64_t slot, plist_t value) {
        return indexArchive({.elements = {itemArchive({})}, .tweak = [slot, value](KeyedArchive &archive) {
                                 archive.add(plist_new_uint(77777777));
                                 plist_array_set_item(archive.objects, value, static_cast<uint32_t>(slot));
                             }});
    };
    const std::string plain = objectsSlot(4, plist_new_uint(77777777));
    ASSERT_TRUE(decodeArchive(plain));
    // libplist 2.2 fails on a null object anywhere it reaches, even one nothing names.
    std::string withNull = plain;
    size_t marker = withNull.find(byteString({0x12, 0x04, 0xA2, 0xCB, 0x71}));
    ASSERT_NE(marker, std::string::npos);
    withNull.replace(marker, 5, byteString({0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(decodeArchive(withNull));

    // A set where the list's array belongs is read as an array; "$objects" must be an array.
    std::string bytes = indexArchive({.elements = {itemArchive({})}});
    Plist root = parseOwn(bytes);
    ASSERT_TRUE(root);
    size_t list = bytes.find(byteString({0xA1}));  // NS.objects, the only one-element array
    ASSERT_NE(list, std::string::npos);
    std::string asSet = bytes;
    asSet[list] = static_cast<char>(0xC1);
    auto decoded = decodeArchive(asSet);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->items.size(), 1u);
    size_t objects = bytes.find(byteString({0xA4}));  // "$objects": $null, the list, the record, the class
    ASSERT_NE(objects, std::string::npos);
    std::string objectsAsSet = bytes;
    objectsAsSet[objects] = static_cast<char>(0xC4);
    EXPECT_FALSE(decodeArchive(objectsAsSet));
}
