#pragma once
// Index records built by hand for the tests of the index format.

#include "archive/ArchivedItem.h"

#include <cstdint>
#include <string>

namespace quillet::test {

/// A record of the item name of size bytes, modified at seconds.nanoseconds, with the record
/// length its fields give it.
ArchivedItem record(std::string name, int64_t size, uint32_t seconds, uint32_t nanoseconds = 0);

} // namespace quillet::test
