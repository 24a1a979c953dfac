#pragma once
// Structural check of a binary property list ("bplist00") before libplist parses it.
//
// libplist's binary parser believes what the file says: offsets, lengths and references are
// followed as they are, shared objects are copied once per reference, and nesting is only
// limited by the stack. A file that passes checkBinaryPlist() is safe to hand to it:
//
//   - the 32-byte trailer is sane and the offset table lies between the header and the trailer;
//   - every object in the table has a known marker and lies wholly in the object area, every
//     reference names an object of the table, every dictionary key is a string;
//   - from the top object, no array, set or dictionary is reached twice (this rejects cycles;
//     Apple's writer never shares collections), nesting stays within the depth limit, and the
//     tree libplist builds (shared strings and data are copied at each use) stays proportional
//     to the size of the file;
//   - the keys of every reached dictionary are distinct, free of NUL and of lone surrogates, so
//     that looking a key up gives the same answer here and in libplist.
//
// The check itself allocates a bit per object and, for the dictionary it is looking at, 16
// bytes per key: never more than a few bytes per byte of input, whatever the file says.
//
// The checked list also answers questions itself, so that a reader can take what it needs
// straight from the bytes without building libplist's tree at all (which costs 100 bytes and
// more per node), and the text of a string object, which libplist cannot give faithfully: it
// drops lone UTF-16 surrogates.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::bplist {

struct CheckLimits {
    size_t maxBytes = 1024 * 1024;
    /// Deepest nesting of collections allowed below the top object (the top is at depth 0).
    uint32_t maxDepth = 32;
    /// Longest dictionary key, in bytes (ASCII) or UTF-16 code units.
    uint64_t maxKeyLength = 1024;
    /// Also refuse what libplist 2.2 fails to read although it is well formed: null and fill
    /// objects and empty UTF-16 strings reached from the top. A reader that takes its answers
    /// from the check instead of from libplist sets it, so that it accepts exactly the files a
    /// libplist reader did.
    bool onlyWhatLibplistReads = false;
};

enum class Kind : uint8_t {
    Null,
    False,
    True,
    Fill,
    Integer,
    Real,
    Date,
    Data,
    AsciiString,
    Utf16String,
    Uid,
    Array,
    Set,
    Dict,
};

/// A binary property list that passed the check. It refers to the checked bytes, which must
/// outlive it and stay unchanged.
class CheckedPlist {
public:
    std::string_view bytes() const { return _bytes; }
    uint64_t objectCount() const { return _objectCount; }
    uint64_t topObject() const { return _topObject; }

    Kind kind(uint64_t object) const;
    /// Elements of an array or set, entries of a dictionary, bytes of data or of an ASCII
    /// string, code units of a UTF-16 string; 0 for other kinds.
    uint64_t count(uint64_t object) const;
    /// The object at position of an array or set.
    std::optional<uint64_t> element(uint64_t array, uint64_t position) const;
    /// The value stored under key (compared as UTF-8) in a dictionary. Allocates nothing for
    /// ASCII keys.
    std::optional<uint64_t> dictValue(uint64_t dict, std::string_view key) const;
    /// The value of an integer object as libplist gives it: the low 64 bits, so an 8-byte
    /// negative integer is its two's complement and a 16-byte one keeps its lower half.
    /// Nothing for another kind.
    std::optional<uint64_t> integer(uint64_t object) const;
    /// The value of a UID object (at most 2^32 - 1, as the check makes sure).
    std::optional<uint64_t> uid(uint64_t object) const;
    /// The bytes of a data object, as a view into the checked bytes.
    std::optional<std::string_view> data(uint64_t object) const;
    /// The text of a string object as bytes: an ASCII string's bytes as they are; a UTF-16
    /// string as UTF-8, each lone surrogate U+DC80..U+DCFF standing for the byte 0x80..0xFF.
    /// Nothing for another kind or for any other unpaired surrogate.
    std::optional<std::string> stringBytes(uint64_t object) const;

private:
    friend std::optional<CheckedPlist> checkBinaryPlist(std::string_view, const CheckLimits &);

    struct Header {
        Kind kind;
        uint64_t count;    ///< as count() describes
        uint64_t payload;  ///< offset of the bytes after the marker and any length object
    };
    Header header(uint64_t object) const;
    uint64_t offsetOf(uint64_t object) const;
    uint64_t reference(const Header &header, uint64_t position) const;
    /// The text of a dictionary key as libplist sees it, or nothing for a key it could not
    /// carry faithfully.
    std::optional<std::string> keyText(uint64_t object, uint64_t maxLength) const;
    /// Whether keyText(object) would be key, without building the text of an ASCII key.
    bool keyIs(uint64_t object, std::string_view key) const;

    std::string_view _bytes;
    uint64_t _objectCount = 0;
    uint64_t _topObject = 0;
    uint64_t _offsetTableStart = 0;
    uint8_t _offsetIntSize = 0;
    uint8_t _refSize = 0;
};

/// The list the bytes hold when they pass the check described above, nothing otherwise.
std::optional<CheckedPlist> checkBinaryPlist(std::string_view bytes, const CheckLimits &limits);
/// The checked list refers to the bytes; a temporary string would leave it dangling.
std::optional<CheckedPlist> checkBinaryPlist(std::string &&bytes, const CheckLimits &limits) = delete;

/// Raw bytes as the UTF-8 text libplist writes out as a string: valid UTF-8 is kept; every byte
/// that is not part of a valid sequence becomes the lone surrogate U+DC00 + byte, written as the
/// three bytes ED B2 80..ED B3 BF, which libplist turns into the UTF-16 code unit as it is.
/// stringBytes() reverses it.
std::string escapeInvalidUtf8(std::string_view raw);

} // namespace quillet::bplist
