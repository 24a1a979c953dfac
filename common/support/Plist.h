#pragma once
// What the readers and writers of property lists (the settings files, the archive index) need
// of libplist beyond its own calls: an owner for its trees, the bytes of a tree, and a walk over
// a dictionary's entries.

#include <plist/plist.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillet {

struct PlistFree {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
/// Owns a libplist tree: freed, with everything below it, when the owner goes.
using PlistOwner = std::unique_ptr<void, PlistFree>;

/// The tree as a binary property list; empty when libplist writes nothing.
std::string plistToBinary(plist_t root);
/// The tree as an XML property list; nothing when libplist writes nothing.
std::optional<std::string> plistToXml(plist_t root);
/// Calls visit with the key and the value of each entry of the dictionary, in libplist's order,
/// until visit answers false; answers false when it did. The key lives for the call only.
bool forEachPlistEntry(plist_t dict, const std::function<bool(const char *key, plist_t value)> &visit);

} // namespace quillet
