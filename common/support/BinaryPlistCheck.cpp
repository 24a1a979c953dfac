#include "support/BinaryPlistCheck.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace quillet::bplist {
namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr uint64_t kHeaderSize = 8;
constexpr uint64_t kTrailerSize = 32;

uint64_t readBigEndian(std::string_view bytes, uint64_t at, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

bool isContainer(Kind kind) { return kind == Kind::Array || kind == Kind::Set || kind == Kind::Dict; }

bool isString(Kind kind) { return kind == Kind::AsciiString || kind == Kind::Utf16String; }

void appendUtf8(std::string &out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

enum class LoneSurrogates { Reject, AsBytes };

/// UTF-16BE code units as UTF-8. Surrogate pairs are joined; a lone U+DC80..U+DCFF becomes the
/// byte it stands for when asked, every other lone surrogate is refused.
std::optional<std::string> utf16ToUtf8(std::string_view units, uint64_t count, LoneSurrogates lone) {
    std::string out;
    out.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        auto unit = static_cast<uint32_t>(readBigEndian(units, 2 * i, 2));
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            auto next = static_cast<uint32_t>(readBigEndian(units, 2 * (i + 1), 2));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (lone == LoneSurrogates::AsBytes && unit >= 0xDC80 && unit <= 0xDCFF) {
                out += static_cast<char>(unit - 0xDC00);
                continue;
            }
            return std::nullopt;
        }
        appendUtf8(out, unit);
    }
    return out;
}

/// Length of the valid UTF-8 sequence at the start of text, 0 when there is none.
size_t validUtf8Length(std::string_view text) {
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    auto continuation = [&](size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return i < text.size() && byte(i) >= low && byte(i) <= high;
    };
    unsigned lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // No overlong forms (F0 80..8F) and nothing above U+10FFFF (F4 90..BF).
        unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

struct Extent {
    Kind kind;
    uint64_t count;
    uint64_t payload;
    uint64_t payloadBytes;
};

/// The marker and extent of the object at offset at, checked against the object area that ends
/// at end (where the offset table starts). Nothing for an unknown marker or an object that does
/// not fit.
std::optional<Extent> readExtent(std::string_view bytes, uint64_t at, uint64_t end, unsigned refSize) {
    auto marker = static_cast<unsigned char>(bytes[at]);
    unsigned type = marker >> 4;
    unsigned info = marker & 0x0F;
    uint64_t payload = at + 1;
    auto fixed = [&](Kind kind, uint64_t size) -> std::optional<Extent> {
        if (size > end - payload)
            return std::nullopt;
        return Extent{kind, 0, payload, size};
    };
    switch (type) {
    case 0x0:
        if (info == 0x0)
            return fixed(Kind::Null, 0);
        if (info == 0x8)
            return fixed(Kind::False, 0);
        if (info == 0x9)
            return fixed(Kind::True, 0);
        if (info == 0xF)
            return fixed(Kind::Fill, 0);
        return std::nullopt;
    case 0x1:
        // 1, 2, 4 and 8 bytes, and the 16-byte form Apple uses for large unsigned values.
        if (info > 4)
            return std::nullopt;
        return fixed(Kind::Integer, uint64_t{1} << info);
    case 0x2:
        if (info != 2 && info != 3)
            return std::nullopt;
        return fixed(Kind::Real, uint64_t{1} << info);
    case 0x3:
        if (info != 3)
            return std::nullopt;
        return fixed(Kind::Date, 8);
    case 0x8: {
        auto extent = fixed(Kind::Uid, info + 1);
        if (extent && readBigEndian(bytes, payload, info + 1) > std::numeric_limits<uint32_t>::max())
            return std::nullopt;
        return extent;
    }
    case 0x4:
    case 0x5:
    case 0x6:
    case 0xA:
    case 0xC:
    case 0xD:
        break;
    default:
        return std::nullopt;
    }

    uint64_t count = info;
    if (info == 0xF) {
        // The count follows as an integer object of 1, 2, 4 or 8 bytes.
        if (payload >= end)
            return std::nullopt;
        auto countMarker = static_cast<unsigned char>(bytes[payload]);
        if ((countMarker >> 4) != 0x1 || (countMarker & 0x0F) > 3)
            return std::nullopt;
        unsigned size = 1u << (countMarker & 0x0F);
        if (size > end - payload - 1)
            return std::nullopt;
        count = readBigEndian(bytes, payload + 1, size);
        payload += 1 + size;
    }
    uint64_t unit = 1;
    Kind kind = Kind::Data;
    switch (type) {
    case 0x4: kind = Kind::Data; break;
    case 0x5: kind = Kind::AsciiString; break;
    case 0x6: kind = Kind::Utf16String; unit = 2; break;
    case 0xA: kind = Kind::Array; unit = refSize; break;
    case 0xC: kind = Kind::Set; unit = refSize; break;
    default: kind = Kind::Dict; unit = 2 * uint64_t{refSize}; break;
    }
    uint64_t available = end - payload;
    if (count > available / unit)
        return std::nullopt;
    return Extent{kind, count, payload, count * unit};
}

} // namespace

std::string escapeInvalidUtf8(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    size_t i = 0;
    while (i < raw.size()) {
        size_t length = validUtf8Length(raw.substr(i));
        if (length > 0) {
            out.append(raw.substr(i, length));
            i += length;
            continue;
        }
        appendUtf8(out, 0xDC00 + static_cast<unsigned char>(raw[i]));
        ++i;
    }
    return out;
}

uint64_t CheckedPlist::offsetOf(uint64_t object) const {
    return readBigEndian(_bytes, _offsetTableStart + object * _offsetIntSize, _offsetIntSize);
}

// Only called for objects that passed the check.
CheckedPlist::Header CheckedPlist::header(uint64_t object) const {
    Extent extent = *readExtent(_bytes, offsetOf(object), _offsetTableStart, _refSize);
    return {extent.kind, extent.count, extent.payload};
}

uint64_t CheckedPlist::reference(const Header &header, uint64_t position) const {
    return readBigEndian(_bytes, header.payload + position * _refSize, _refSize);
}

Kind CheckedPlist::kind(uint64_t object) const {
    return object < _objectCount ? header(object).kind : Kind::Null;
}

uint64_t CheckedPlist::count(uint64_t object) const {
    return object < _objectCount ? header(object).count : 0;
}

std::optional<uint64_t> CheckedPlist::element(uint64_t array, uint64_t position) const {
    if (array >= _objectCount)
        return std::nullopt;
    Header h = header(array);
    if ((h.kind != Kind::Array && h.kind != Kind::Set) || position >= h.count)
        return std::nullopt;
    return reference(h, position);
}

std::optional<uint64_t> CheckedPlist::dictValue(uint64_t dict, std::string_view key) const {
    if (dict >= _objectCount)
        return std::nullopt;
    Header h = header(dict);
    if (h.kind != Kind::Dict)
        return std::nullopt;
    for (uint64_t i = 0; i < h.count; ++i) {
        if (keyIs(reference(h, i), key))
            return reference(h, h.count + i);
    }
    return std::nullopt;
}

std::optional<uint64_t> CheckedPlist::integer(uint64_t object) const {
    if (object >= _objectCount)
        return std::nullopt;
    Header h = header(object);
    if (h.kind != Kind::Integer)
        return std::nullopt;
    // Reading 16 bytes into 64 bits shifts the upper half out, which is what libplist keeps.
    unsigned size = 1u << (static_cast<unsigned char>(_bytes[offsetOf(object)]) & 0x0F);
    return readBigEndian(_bytes, h.payload, size);
}

std::optional<uint64_t> CheckedPlist::uid(uint64_t object) const {
    if (object >= _objectCount)
        return std::nullopt;
    Header h = header(object);
    if (h.kind != Kind::Uid)
        return std::nullopt;
    unsigned size = (static_cast<unsigned char>(_bytes[offsetOf(object)]) & 0x0F) + 1u;
    return readBigEndian(_bytes, h.payload, size);
}

std::optional<std::string_view> CheckedPlist::data(uint64_t object) const {
    if (object >= _objectCount)
        return std::nullopt;
    Header h = header(object);
    if (h.kind != Kind::Data)
        return std::nullopt;
    return _bytes.substr(h.payload, h.count);
}

std::optional<std::string> CheckedPlist::keyText(uint64_t object, uint64_t maxLength) const {
    Header h = header(object);
    if (!isString(h.kind) || h.count > maxLength)
        return std::nullopt;
    std::optional<std::string> text;
    if (h.kind == Kind::AsciiString)
        text = std::string(_bytes.substr(h.payload, h.count));
    else
        text = utf16ToUtf8(_bytes.substr(h.payload, 2 * h.count), h.count, LoneSurrogates::Reject);
    // libplist keeps keys as C strings: a NUL would cut them short.
    if (text && text->find('\0') != std::string::npos)
        return std::nullopt;
    return text;
}

bool CheckedPlist::keyIs(uint64_t object, std::string_view key) const {
    Header h = header(object);
    // An ASCII key is its bytes; a key with a NUL never matches, as keyText() refuses it.
    if (h.kind == Kind::AsciiString)
        return h.count == key.size() && _bytes.substr(h.payload, h.count) == key &&
               key.find('\0') == std::string_view::npos;
    auto text = keyText(object, key.size());
    return text && *text == key;
}

std::optional<std::string> CheckedPlist::stringBytes(uint64_t object) const {
    if (object >= _objectCount)
        return std::nullopt;
    Header h = header(object);
    if (h.kind == Kind::AsciiString)
        return std::string(_bytes.substr(h.payload, h.count));
    if (h.kind == Kind::Utf16String)
        return utf16ToUtf8(_bytes.substr(h.payload, 2 * h.count), h.count, LoneSurrogates::AsBytes);
    return std::nullopt;
}

std::optional<CheckedPlist> checkBinaryPlist(std::string_view bytes, const CheckLimits &limits) {
    // Header, at least one object byte, at least one offset byte, trailer.
    if (bytes.size() > limits.maxBytes || bytes.size() < kHeaderSize + 1 + 1 + kTrailerSize)
        return std::nullopt;
    if (bytes.substr(0, kMagic.size()) != kMagic)
        return std::nullopt;

    CheckedPlist plist;
    plist._bytes = bytes;
    const uint64_t size = bytes.size();
    const uint64_t trailer = size - kTrailerSize;
    plist._offsetIntSize = static_cast<uint8_t>(bytes[trailer + 6]);
    plist._refSize = static_cast<uint8_t>(bytes[trailer + 7]);
    plist._objectCount = readBigEndian(bytes, trailer + 8, 8);
    plist._topObject = readBigEndian(bytes, trailer + 16, 8);
    plist._offsetTableStart = readBigEndian(bytes, trailer + 24, 8);

    const unsigned offsetIntSize = plist._offsetIntSize;
    const unsigned refSize = plist._refSize;
    const uint64_t objectCount = plist._objectCount;
    const uint64_t tableStart = plist._offsetTableStart;
    if (offsetIntSize < 1 || offsetIntSize > 8 || refSize < 1 || refSize > 8)
        return std::nullopt;
    if (objectCount < 1 || plist._topObject >= objectCount)
        return std::nullopt;
    if (tableStart <= kHeaderSize || tableStart > trailer)
        return std::nullopt;
    if (objectCount > (trailer - tableStart) / offsetIntSize)
        return std::nullopt;

    // Every object on its own: known marker, wholly inside the object area.
    for (uint64_t object = 0; object < objectCount; ++object) {
        uint64_t at = plist.offsetOf(object);
        if (at < kHeaderSize || at >= tableStart)
            return std::nullopt;
        if (!readExtent(bytes, at, tableStart, refSize))
            return std::nullopt;
    }
    // References: in the table, and dictionary keys are strings.
    for (uint64_t object = 0; object < objectCount; ++object) {
        CheckedPlist::Header h = plist.header(object);
        if (!isContainer(h.kind))
            continue;
        uint64_t references = h.kind == Kind::Dict ? 2 * h.count : h.count;
        for (uint64_t i = 0; i < references; ++i) {
            uint64_t target = plist.reference(h, i);
            if (target >= objectCount)
                return std::nullopt;
            if (h.kind == Kind::Dict && i < h.count && !isString(plist.header(target).kind))
                return std::nullopt;
        }
    }

    // The tree libplist builds from the top object. Collections are reached once at most, so
    // the tree has one node per reference followed; strings and data may be shared and are
    // copied at each use, so their bytes are counted at each use.
    const uint64_t nodeBudget = size;
    const uint64_t byteBudget = 4 * size + 65536;
    uint64_t nodes = 0;
    uint64_t copiedBytes = 0;
    std::vector<bool> reached(static_cast<size_t>(objectCount), false);

    struct Frame {
        CheckedPlist::Header header;
        uint64_t next;  ///< next reference to follow
        uint64_t end;
        uint32_t depth;
    };
    std::vector<Frame> stack;

    auto leafBytes = [](const CheckedPlist::Header &h) -> uint64_t {
        switch (h.kind) {
        case Kind::Data:
        case Kind::AsciiString:
            return h.count + 1;
        case Kind::Utf16String:
            return 4 * (h.count + 1);  // the UTF-8 buffer libplist allocates for it
        default:
            return 8;
        }
    };

    auto libplistReads = [](const CheckedPlist::Header &h) {
        return h.kind != Kind::Null && h.kind != Kind::Fill && !(h.kind == Kind::Utf16String && h.count == 0);
    };

    // Counts one node and, for a collection, enters it.
    auto visit = [&](uint64_t object, uint32_t depth) -> bool {
        if (++nodes > nodeBudget)
            return false;
        CheckedPlist::Header h = plist.header(object);
        if (limits.onlyWhatLibplistReads && !libplistReads(h))
            return false;
        if (!isContainer(h.kind)) {
            copiedBytes += leafBytes(h);
            return copiedBytes <= byteBudget;
        }
        if (reached[object] || depth > limits.maxDepth)
            return false;
        reached[object] = true;
        uint64_t begin = 0;
        uint64_t end = h.count;
        if (h.kind == Kind::Dict) {
            // Keys are strings: count them here, and make sure they are distinct as libplist
            // will see them. More keys than the references can name objects means some key
            // object is used twice.
            uint64_t nameable = refSize >= 8 ? objectCount : std::min(objectCount, uint64_t{1} << (8 * refSize));
            if (h.count > nameable)
                return false;
            // Keeping every key's text would cost 32 bytes and more per key, several times what
            // a key takes in the file; a hash and the object take 16, and texts are built again,
            // two at a time, only for keys whose hashes meet.
            struct HashedKey {
                size_t hash;
                uint64_t object;
                bool operator<(const HashedKey &other) const {
                    return hash != other.hash ? hash < other.hash : object < other.object;
                }
            };
            std::vector<HashedKey> keys;
            keys.reserve(static_cast<size_t>(h.count));
            for (uint64_t i = 0; i < h.count; ++i) {
                uint64_t key = plist.reference(h, i);
                CheckedPlist::Header keyHeader = plist.header(key);
                if (limits.onlyWhatLibplistReads && !libplistReads(keyHeader))
                    return false;
                copiedBytes += leafBytes(keyHeader);
                if (++nodes > nodeBudget || copiedBytes > byteBudget)
                    return false;
                auto text = plist.keyText(key, limits.maxKeyLength);
                if (!text)
                    return false;
                keys.push_back({std::hash<std::string>{}(*text), key});
            }
            std::sort(keys.begin(), keys.end());
            auto text = [&](const HashedKey &k) { return *plist.keyText(k.object, limits.maxKeyLength); };
            for (auto run = keys.begin(); run != keys.end();) {
                auto runEnd = std::find_if(run, keys.end(), [&](const HashedKey &k) { return k.hash != run->hash; });
                if (runEnd - run > 1) {
                    // Keys made to share a hash still cost nothing beyond the two being compared.
                    std::sort(run, runEnd, [&](const HashedKey &a, const HashedKey &b) { return text(a) < text(b); });
                    auto same = [&](const HashedKey &a, const HashedKey &b) { return text(a) == text(b); };
                    if (std::adjacent_find(run, runEnd, same) != runEnd)
                        return false;
                }
                run = runEnd;
            }
            begin = h.count;
            end = 2 * h.count;
        }
        stack.push_back({h, begin, end, depth});
        return true;
    };

    if (!visit(plist._topObject, 0))
        return std::nullopt;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.end) {
            stack.pop_back();
            continue;
        }
        uint64_t child = plist.reference(frame.header, frame.next++);
        if (!visit(child, frame.depth + 1))
            return std::nullopt;
    }
    return plist;
}

} // namespace quillet::bplist
