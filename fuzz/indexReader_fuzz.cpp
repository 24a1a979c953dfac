// libFuzzer target for the archive index reader.
//
// Every input is read as an index file and, wrapped as the one record of an otherwise valid
// index, as a record archive. It is also read as a list of objects (each a length byte and the
// object's bytes) assembled into a binary plist with a correct offset table and trailer, so
// that mutations explore object graphs (references, cycles, sharing, types, lengths) rather
// than mostly breaking the offset table. Whatever reads must write out again and read back
// the same; nothing may crash, hang or exhaust memory on the way.
//
// libplist is not built with the sanitizers, so a read past the end of the input inside it
// would go unseen; the input is therefore placed right before an inaccessible page.

#include "archive/ArchiveFile.h"
#include "FuzzInput.h"
#include "support/Plist.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace quillet;
using quillet::fuzz::assembleObjects;
using quillet::fuzz::GuardedCopy;

namespace {

bool sameIndex(const ArchiveStruct &a, const ArchiveStruct &b) {
    if (a.recordLength != b.recordLength || a.itemCount != b.itemCount || a.items.size() != b.items.size())
        return false;
    for (size_t i = 0; i < a.items.size(); ++i) {
        const ArchivedItem &x = a.items[i];
        const ArchivedItem &y = b.items[i];
        if (x.recordLength != y.recordLength || x.name != y.name || x.itemSize != y.itemSize ||
            x.modificationTime.seconds != y.modificationTime.seconds ||
            x.modificationTime.nanoseconds != y.modificationTime.nanoseconds)
            return false;
    }
    return true;
}

/// An index of one record whose archive is the given bytes, as the writer lays it out.
std::string indexAround(std::string_view record) {
    plist_t root = plist_new_dict();
    plist_t top = plist_new_dict();
    plist_t objects = plist_new_array();
    plist_dict_set_item(root, "$version", plist_new_uint(100000));
    plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root, "$top", top);
    plist_dict_set_item(root, "$objects", objects);
    plist_dict_set_item(top, "Struct length", plist_new_uint(20 + record.size()));
    plist_dict_set_item(top, "Number of items", plist_new_uint(1));
    plist_dict_set_item(top, "List of items recorded", plist_new_uid(1));

    plist_t elements = plist_new_array();
    plist_array_append_item(elements, plist_new_uid(2));
    plist_t array = plist_new_dict();
    plist_dict_set_item(array, "NS.objects", elements);
    plist_dict_set_item(array, "$class", plist_new_uid(3));
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string("NSArray"));
    plist_array_append_item(classes, plist_new_string("NSObject"));
    plist_t arrayClass = plist_new_dict();
    plist_dict_set_item(arrayClass, "$classname", plist_new_string("NSArray"));
    plist_dict_set_item(arrayClass, "$classes", classes);

    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, array);
    plist_array_append_item(objects, plist_new_data(record.data(), record.size()));
    plist_array_append_item(objects, arrayClass);

    return plistToBinary(PlistOwner(root).get());
}

void readAndRewrite(std::string_view bytes) {
    auto decoded = decodeArchive(bytes);
    if (!decoded)
        return;
    ArchiveStruct copy = *decoded;
    std::string rewritten = encodeArchive(copy);
    auto again = decodeArchive(rewritten);
    if (!again || !sameIndex(*decoded, *again) || !sameIndex(copy, *decoded))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    readAndRewrite(GuardedCopy(bytes).bytes());
    readAndRewrite(GuardedCopy(indexAround(bytes)).bytes());
    std::string assembled = assembleObjects(bytes);
    readAndRewrite(GuardedCopy(assembled).bytes());
    readAndRewrite(GuardedCopy(indexAround(assembled)).bytes());
    return 0;
}
