#pragma once
// The bytes of a preferences domain file and the tree they hold, converted both ways by pure
// functions: PreferencesDomain reads and writes through them, and so does the settings fuzzer.
//
// A domain file is a property list with a dictionary at the top, in one of two forms:
//   - XML (the usual form, which a user can read and edit). libplist parses it. Before that,
//     checkXmlPlist() follows the text the way libplist's parser does and refuses a NUL byte
//     (XML cannot carry one, and libplist would turn the rest of its string into NULs) and
//     arrays and dictionaries nested deeper than kMaxSettingsDepth.
//   - binary ("bplist00"). bplist::checkBinaryPlist() checks it, with the same depth limit,
//     before libplist parses it.
// Any other file, and any file larger than kMaxDomainFileBytes, is corrupt.
//
// serializeSettingsFile() writes XML when the XML text reads back as the same tree, else the
// binary form when that does, else nothing: a file is never written that the reader would refuse
// or read differently. XML cannot carry a string holding NUL, nor a date with a fraction of a
// second; libplist 2.2 cannot write such strings in binary either (it writes an ASCII string with
// NUL as ASCII, and its reader stops at the first NUL), so the binary form is written here: a
// string holding NUL becomes UTF-16, which libplist reads back whole.

#include "settings/PrefValue.h"
#include "platform/System.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

/// Deepest nesting of arrays and dictionaries in a domain file, in either form: the top
/// dictionary is at depth 0, so a value at depth kMaxSettingsDepth may still be a collection
/// (empty or not), and nothing may lie deeper.
inline constexpr uint32_t kMaxSettingsDepth = 32;

/// One value of a domain file, of any kind libplist 2.2 reads.
struct PlistNode {
    enum class Kind { Boolean, Integer, Real, String, Date, Data, Uid, Array, Dictionary };

    Kind kind = Kind::Dictionary;
    /// Boolean 0/1; Integer as its 64 bits (a negative number in two's complement, as libplist
    /// keeps it); Uid.
    uint64_t number = 0;
    double real = 0;
    /// Date: seconds and microseconds from 2001-01-01 UTC, as libplist gives them.
    int32_t seconds = 0;
    int32_t microseconds = 0;
    /// String (UTF-8, or any bytes) and Data.
    std::string bytes;
    /// Elements of an Array, values of a Dictionary.
    std::vector<PlistNode> items;
    /// Keys of a Dictionary, keys[i] naming items[i]; distinct.
    std::vector<std::string> keys;

    static PlistNode dictionary() { return PlistNode{}; }
    static PlistNode fromText(std::string text);

    /// The value of key in a Dictionary, nullptr when it has none.
    const PlistNode *find(std::string_view key) const;
    /// Replaces the value of key, or appends key with value.
    void set(const std::string &key, PlistNode value);
    /// Removes key and its value; false when there was none.
    bool remove(std::string_view key);

    /// Same kind, same value, same keys in the same order. Reals compare as numbers (0 and -0
    /// are equal) and every NaN equals every NaN: the XML form writes them all as "nan".
    bool operator==(const PlistNode &other) const;
    bool operator!=(const PlistNode &other) const { return !(*this == other); }
};

/// Whether text, a property list in XML, is free of NUL bytes and nests arrays and dictionaries
/// at most maxDepth below the top one. It follows the text as libplist 2.2's XML parser does
/// (processing instructions, comments, DOCTYPE, CDATA, quoted attribute values), so that what
/// it counts is what libplist would build; text that libplist would refuse anyway may be
/// refused here too.
bool checkXmlPlist(std::string_view text, uint32_t maxDepth);

/// The tree a domain file's bytes hold: an empty dictionary for no bytes; EFBIG when larger than
/// kMaxDomainFileBytes; EBADMSG when the bytes are not a property list of either form with a
/// dictionary at the top, or nest deeper than kMaxSettingsDepth.
sys::Result<PlistNode> parseSettingsFile(std::string_view bytes);

/// The bytes of a domain file holding top, a Dictionary: XML when it reads back equal, else the
/// binary form when that does. EFBIG when neither does, or the result would be larger than
/// kMaxDomainFileBytes, or top nests deeper than kMaxSettingsDepth; EINVAL when top is not a
/// Dictionary. parseSettingsFile() of the result always gives top back.
sys::Result<std::string> serializeSettingsFile(const PlistNode &top);

/// The binary form of top, without the checks of serializeSettingsFile(); nothing when a string
/// or key cannot be written so that libplist reads it back (one holding both NUL and bytes that
/// are not UTF-8, a key holding NUL) or a UID exceeds 32 bits.
std::optional<std::string> binarySettingsFile(const PlistNode &top);

/// The value as PrefValue represents it; nothing for a Date, Data or Uid, which are also left
/// out of arrays and dictionaries.
std::optional<PrefValue> toPrefValue(const PlistNode &node);
/// The node for value. value must nest at most kMaxSettingsDepth deep (see prefValueDepth).
PlistNode toPlistNode(const PrefValue &value);
/// How deep value nests collections (0 for a number or string, 1 for a flat array), counting
/// no further than limit + 1.
uint32_t prefValueDepth(const PrefValue &value, uint32_t limit);

} // namespace quillet
