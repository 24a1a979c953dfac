#include "ArchiveRecords.h"

#include <utility>

namespace quillet::test {

ArchivedItem record(std::string name, int64_t size, uint32_t seconds, uint32_t nanoseconds) {
    ArchivedItem item;
    item.name = std::move(name);
    item.itemSize = size;
    item.modificationTime = {seconds, nanoseconds};
    item.recordLength = archiveItemStructSize(item);
    return item;
}

} // namespace quillet::test
