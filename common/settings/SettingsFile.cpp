#include "settings/SettingsFile.h"

#include "support/BinaryPlistCheck.h"
#include "support/Plist.h"
#include "settings/PreferencesDomain.h"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace quillet {

// ---------------------------------------------------------------------------------------------
// PlistNode

PlistNode PlistNode::fromText(std::string text) {
    PlistNode node;
    node.kind = Kind::String;
    node.bytes = std::move(text);
    return node;
}

const PlistNode *PlistNode::find(std::string_view key) const {
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i] == key)
            return &items[i];
    return nullptr;
}

void PlistNode::set(const std::string &key, PlistNode value) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            items[i] = std::move(value);
            return;
        }
    }
    keys.push_back(key);
    items.push_back(std::move(value));
}

bool PlistNode::remove(std::string_view key) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(i));
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool PlistNode::operator==(const PlistNode &other) const {
    if (kind != other.kind)
        return false;
    switch (kind) {
    case Kind::Boolean:
    case Kind::Integer:
    case Kind::Uid:
        return number == other.number;
    case Kind::Real:
        return real == other.real || (std::isnan(real) && std::isnan(other.real));
    case Kind::Date:
        return seconds == other.seconds && microseconds == other.microseconds;
    case Kind::String:
    case Kind::Data:
        return bytes == other.bytes;
    case Kind::Array:
        return items == other.items;
    case Kind::Dictionary:
        return keys == other.keys && items == other.items;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// XML pre-check

namespace {

// A cursor over XML text that moves the way libplist 2.2's parser (xplist.c) does. Each helper
// mirrors one of its scanning functions, quirks included: where this scanner and libplist
// disagreed about what is markup, a nesting libplist builds could go uncounted.
class XmlCursor {
public:
    explicit XmlCursor(std::string_view text) : _text(text) {}

    bool atEnd() const { return _pos >= _text.size(); }
    size_t pos() const { return _pos; }
    char at(size_t offset = 0) const { return _pos + offset < _text.size() ? _text[_pos + offset] : '\0'; }
    size_t left() const { return _pos < _text.size() ? _text.size() - _pos : 0; }
    bool startsWith(std::string_view prefix) const { return _text.substr(std::min(_pos, _text.size())).starts_with(prefix); }
    void advance(size_t count = 1) { _pos += count; }

    void skipBlanks() {
        while (!atEnd() && (at() == ' ' || at() == '\t' || at() == '\r' || at() == '\n'))
            ++_pos;
    }
    // find_char: to the next c, or the end.
    void findChar(char c) {
        while (!atEnd() && at() != c)
            ++_pos;
    }
    // find_next: to the next of chars; with skipQuotes, a double quote skips to the next one.
    void findNext(std::string_view chars, bool skipQuotes) {
        while (!atEnd()) {
            if (skipQuotes && at() == '"') {
                ++_pos;
                findChar('"');
                if (atEnd())
                    return;
            }
            if (chars.find(at()) != std::string_view::npos)
                return;
            ++_pos;
        }
    }
    // find_str followed by the check its callers make: past needle, or false when it is
    // missing.
    bool skipPast(std::string_view needle, bool skipQuotes) {
        while (_pos + needle.size() < _text.size()) {
            if (startsWith(needle))
                break;
            if (skipQuotes && at() == '"') {
                ++_pos;
                findChar('"');
                if (atEnd())
                    return false;
            }
            ++_pos;
        }
        if (!startsWith(needle))
            return false;
        _pos += needle.size();
        return true;
    }

private:
    std::string_view _text;
    size_t _pos = 0;
};

// The contents of an element holding text, up to and past its closing tag (get_text_parts):
// text, comments and CDATA sections; any other markup is an error for libplist.
bool skipTextContents(XmlCursor &cursor) {
    for (;;) {
        cursor.findChar('<');
        if (cursor.atEnd())
            return false;
        cursor.advance();
        if (cursor.atEnd())
            return false;
        if (cursor.at() == '/')
            break;
        if (cursor.at() != '!')
            return false;
        cursor.advance();
        if (cursor.left() < 2)
            return false;
        if (cursor.at() == '-' && cursor.at(1) == '-') {
            cursor.advance(2);
            if (!cursor.skipPast("-->", false))
                return false;
        } else if (cursor.at() == '[') {
            cursor.advance();
            if (cursor.left() <= 8 || !cursor.startsWith("CDATA["))
                return false;
            cursor.advance(6);
            if (!cursor.skipPast("]]>", false))
                return false;
        } else {
            return false;
        }
    }
    // The closing tag: libplist refuses it unless it names the element, so its end is the next
    // '>' whenever libplist goes on.
    cursor.findChar('>');
    if (cursor.atEnd())
        return false;
    cursor.advance();
    return true;
}

bool holdsText(std::string_view tag) {
    return tag == "key" || tag == "string" || tag == "integer" || tag == "real" || tag == "true" || tag == "false" ||
           tag == "data" || tag == "date";
}

} // namespace

bool checkXmlPlist(std::string_view text, uint32_t maxDepth) {
    if (text.find('\0') != std::string_view::npos)
        return false;
    XmlCursor cursor(text);
    // Open arrays and dictionaries, the top one included.
    uint64_t open = 0;
    for (;;) {
        cursor.skipBlanks();
        if (cursor.atEnd())
            return true;
        if (cursor.at() != '<')
            return false;
        cursor.advance();
        if (cursor.atEnd())
            return false;
        if (cursor.at() == '?') {
            if (!cursor.skipPast("?>", true))
                return false;
            continue;
        }
        if (cursor.at() == '!') {
            if (cursor.left() > 3 && cursor.startsWith("!--")) {
                cursor.advance(3);
                if (!cursor.skipPast("-->", false))
                    return false;
            } else if (cursor.left() > 8 && cursor.startsWith("!DOCTYPE")) {
                cursor.advance(8);
                bool internalSubset = false;
                while (!cursor.atEnd()) {
                    cursor.findNext(" \t\r\n[>", true);
                    if (cursor.atEnd())
                        return false;
                    if (cursor.at() == '[') {
                        internalSubset = true;
                        break;
                    }
                    if (cursor.at() == '>') {
                        cursor.advance();
                        break;
                    }
                    cursor.skipBlanks();
                }
                if (internalSubset && !cursor.skipPast("]>", true))
                    return false;
            } else {
                return false;
            }
            continue;
        }

        const size_t nameStart = cursor.pos();
        cursor.findNext(" \r\n\t<>", false);
        if (cursor.atEnd())
            return false;
        size_t nameLength = cursor.pos() - nameStart;
        if (cursor.at() != '>')
            cursor.findNext("<>", true);
        if (cursor.atEnd() || cursor.at() != '>')
            return false;
        const bool empty = text[cursor.pos() - 1] == '/';
        if (empty)
            nameLength = std::min(nameLength, cursor.pos() - nameStart - 1);
        cursor.advance();
        const std::string_view name = text.substr(nameStart, nameLength);

        if (name == "array" || name == "dict") {
            if (!empty && ++open > uint64_t{maxDepth} + 1)
                return false;
        } else if (name == "/array" || name == "/dict") {
            if (open == 0)
                return false;
            --open;
        } else if (holdsText(name)) {
            if (!empty && !skipTextContents(cursor))
                return false;
        } else if (name != "plist" && name != "/plist") {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Parsing

namespace {

// libplist's tree as a PlistNode. The checks before parsing bound the depth already; it is
// checked again here because this function recurses.
bool fromLibplist(plist_t node, uint32_t depth, PlistNode &out) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        out.kind = PlistNode::Kind::Boolean;
        out.number = value ? 1 : 0;
        return true;
    }
    case PLIST_UINT:
        out.kind = PlistNode::Kind::Integer;
        plist_get_uint_val(node, &out.number);
        return true;
    case PLIST_REAL:
        out.kind = PlistNode::Kind::Real;
        plist_get_real_val(node, &out.real);
        return true;
    case PLIST_DATE:
        out.kind = PlistNode::Kind::Date;
        plist_get_date_val(node, &out.seconds, &out.microseconds);
        // libplist converts the stored double without a range check: a NaN or a date beyond
        // 32-bit seconds comes out as garbage. Whatever the seconds are, the microseconds are
        // kept in range so that the date is at least written back as it reads now.
        if (out.microseconds < 0 || out.microseconds > 999999)
            out.microseconds = 0;
        return true;
    case PLIST_UID:
        out.kind = PlistNode::Kind::Uid;
        plist_get_uid_val(node, &out.number);
        return true;
    case PLIST_STRING:
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *bytes = plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, &length)
                                                                      : plist_get_data_ptr(node, &length);
        out.kind = plist_get_node_type(node) == PLIST_STRING ? PlistNode::Kind::String : PlistNode::Kind::Data;
        out.bytes.assign(bytes ? bytes : "", bytes ? length : 0);
        return true;
    }
    case PLIST_ARRAY: {
        if (depth > kMaxSettingsDepth)
            return false;
        out.kind = PlistNode::Kind::Array;
        const uint32_t count = plist_array_get_size(node);
        out.items.resize(count);
        for (uint32_t i = 0; i < count; ++i)
            if (!fromLibplist(plist_array_get_item(node, i), depth + 1, out.items[i]))
                return false;
        return true;
    }
    case PLIST_DICT: {
        if (depth > kMaxSettingsDepth)
            return false;
        out.kind = PlistNode::Kind::Dictionary;
        return forEachPlistEntry(node, [&](const char *key, plist_t item) {
            out.keys.emplace_back(key);
            out.items.emplace_back();
            return item && fromLibplist(item, depth + 1, out.items.back());
        });
    }
    default:
        return false;
    }
}

sys::Status corrupt() { return sys::Status::failure(EBADMSG, "plist"); }

} // namespace

sys::Result<PlistNode> parseSettingsFile(std::string_view bytes) {
    if (bytes.size() > kMaxDomainFileBytes)
        return sys::Status::failure(EFBIG, "plist");
    if (bytes.empty())
        return PlistNode::dictionary();
    plist_t root = nullptr;
    constexpr std::string_view kBinaryMagic = "bplist00";
    if (bytes.starts_with(kBinaryMagic)) {
        // libplist's binary parser trusts the file's offsets; check the structure first.
        bplist::CheckLimits limits;
        limits.maxBytes = kMaxDomainFileBytes;
        limits.maxDepth = kMaxSettingsDepth;
        if (!bplist::checkBinaryPlist(bytes, limits))
            return corrupt();
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    } else {
        if (!checkXmlPlist(bytes, kMaxSettingsDepth))
            return corrupt();
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    }
    PlistOwner owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return corrupt();
    PlistNode top;
    if (!fromLibplist(root, 0, top))
        return corrupt();
    return top;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

uint32_t nodeDepth(const PlistNode &node, uint32_t limit) {
    if (node.kind != PlistNode::Kind::Array && node.kind != PlistNode::Kind::Dictionary)
        return 0;
    uint32_t deepest = 0;
    if (limit > 0)
        for (const PlistNode &item : node.items)
            deepest = std::max(deepest, nodeDepth(item, limit - 1));
    return deepest + 1;
}

bool holdsNul(const PlistNode &node) {
    if (node.kind == PlistNode::Kind::String && node.bytes.find('\0') != std::string::npos)
        return true;
    for (const std::string &key : node.keys)
        if (key.find('\0') != std::string::npos)
            return true;
    for (const PlistNode &item : node.items)
        if (holdsNul(item))
            return true;
    return false;
}

plist_t toLibplist(const PlistNode &node) {
    switch (node.kind) {
    case PlistNode::Kind::Boolean:
        return plist_new_bool(node.number ? 1 : 0);
    case PlistNode::Kind::Integer:
        return plist_new_uint(node.number);
    case PlistNode::Kind::Real:
        return plist_new_real(node.real);
    case PlistNode::Kind::Date:
        return plist_new_date(node.seconds, node.microseconds);
    case PlistNode::Kind::Uid:
        return plist_new_uid(node.number);
    case PlistNode::Kind::String:
        return plist_new_string(node.bytes.c_str());
    case PlistNode::Kind::Data:
        return plist_new_data(node.bytes.data(), node.bytes.size());
    case PlistNode::Kind::Array: {
        plist_t array = plist_new_array();
        for (const PlistNode &item : node.items)
            plist_array_append_item(array, toLibplist(item));
        return array;
    }
    case PlistNode::Kind::Dictionary: {
        plist_t dict = plist_new_dict();
        for (size_t i = 0; i < node.keys.size(); ++i)
            plist_dict_set_item(dict, node.keys[i].c_str(), toLibplist(node.items[i]));
        return dict;
    }
    }
    return plist_new_bool(0);
}

std::optional<std::string> xmlSettingsFile(const PlistNode &top) {
    // libplist's nodes hold C strings: a string with NUL would be cut short.
    if (holdsNul(top))
        return std::nullopt;
    PlistOwner root(toLibplist(top));
    return plistToXml(root.get());
}

// The code points of valid UTF-8 as UTF-16 code units, or nothing when text is not UTF-8
// (overlong forms, surrogates and values above U+10FFFF included).
std::optional<std::u16string> utf16(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t code = 0;
        size_t length = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code = lead & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code = lead & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code = lead & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size())
            return std::nullopt;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return units;
}

// Writes the binary form. Objects are numbered depth first, the top one 0, keys before the
// values of their dictionary; nothing is shared, so the tree libplist builds is the one given.
class BinaryWriter {
public:
    std::optional<std::string> write(const PlistNode &top) {
        number(top);
        const uint64_t count = _objects.size();
        _refSize = count < 0x100 ? 1 : count < 0x10000 ? 2 : 4;
        _out = "bplist00";
        std::vector<uint64_t> offsets;
        offsets.reserve(_objects.size());
        for (const Object &object : _objects) {
            offsets.push_back(_out.size());
            if (!(object.key ? writeString(*object.key, true) : writeNode(*object.node, object.refs)))
                return std::nullopt;
        }
        const uint64_t tableStart = _out.size();
        const uint8_t offsetSize = byteCount(tableStart);
        for (uint64_t offset : offsets)
            putBigEndian(offset, offsetSize);
        _out.append(6, '\0');
        _out += static_cast<char>(offsetSize);
        _out += static_cast<char>(_refSize);
        putBigEndian(count, 8);
        putBigEndian(0, 8);
        putBigEndian(tableStart, 8);
        return std::move(_out);
    }

private:
    struct Object {
        const PlistNode *node = nullptr;
        const std::string *key = nullptr;
        std::vector<uint64_t> refs;
    };

    uint64_t number(const PlistNode &node) {
        const uint64_t index = _objects.size();
        _objects.push_back({&node, nullptr, {}});
        std::vector<uint64_t> refs;
        for (const std::string &key : node.keys) {
            refs.push_back(_objects.size());
            _objects.push_back({nullptr, &key, {}});
        }
        for (const PlistNode &item : node.items)
            refs.push_back(number(item));
        _objects[index].refs = std::move(refs);
        return index;
    }

    static uint8_t byteCount(uint64_t value) {
        return value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 0x100000000 ? 4 : 8;
    }

    void putBigEndian(uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;)
            _out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }

    void putDouble(double value) {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        putBigEndian(bits, 8);
    }

    void putInteger(uint64_t value) {
        const uint8_t size = byteCount(value);
        _out += static_cast<char>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3));
        putBigEndian(value, size);
    }

    void putMarker(uint8_t type, uint64_t count) {
        if (count < 15) {
            _out += static_cast<char>((type << 4) | count);
        } else {
            _out += static_cast<char>((type << 4) | 0x0F);
            putInteger(count);
        }
    }

    // ASCII when the text is ASCII without NUL; UTF-16 when it is other UTF-8 (libplist reads
    // an ASCII string only up to its first NUL, a UTF-16 one whole); otherwise its bytes as an
    // ASCII string, which libplist reads back as they are, unless they hold NUL.
    bool writeString(const std::string &text, bool isKey) {
        const bool hasNul = text.find('\0') != std::string::npos;
        if (hasNul && isKey)
            return false;
        bool ascii = !hasNul;
        for (char c : text)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (!ascii) {
            if (auto units = utf16(text)) {
                putMarker(0x6, units->size());
                for (char16_t unit : *units)
                    putBigEndian(unit, 2);
                return true;
            }
            if (hasNul)
                return false;
        }
        putMarker(0x5, text.size());
        _out += text;
        return true;
    }

    bool writeNode(const PlistNode &node, const std::vector<uint64_t> &refs) {
        switch (node.kind) {
        case PlistNode::Kind::Boolean:
            _out += static_cast<char>(node.number ? 0x09 : 0x08);
            return true;
        case PlistNode::Kind::Integer:
            putInteger(node.number);
            return true;
        case PlistNode::Kind::Real:
            _out += '\x23';
            putDouble(node.real);
            return true;
        case PlistNode::Kind::Date: {
            // libplist gives a date as whole seconds and microseconds, each cut towards zero:
            // half a microsecond more keeps the cut on the same microsecond.
            const double fraction = (node.microseconds + 0.5) / 1e6;
            _out += '\x33';
            putDouble(node.seconds < 0 ? node.seconds - fraction : node.seconds + fraction);
            return true;
        }
        case PlistNode::Kind::Uid: {
            if (node.number > 0xFFFFFFFF)
                return false;
            const uint8_t size = byteCount(node.number);
            _out += static_cast<char>(0x80 | (size - 1));
            putBigEndian(node.number, size);
            return true;
        }
        case PlistNode::Kind::String:
            return writeString(node.bytes, false);
        case PlistNode::Kind::Data:
            putMarker(0x4, node.bytes.size());
            _out += node.bytes;
            return true;
        case PlistNode::Kind::Array:
        case PlistNode::Kind::Dictionary:
            putMarker(node.kind == PlistNode::Kind::Array ? 0xA : 0xD, node.items.size());
            for (uint64_t ref : refs)
                putBigEndian(ref, _refSize);
            return true;
        }
        return false;
    }

    std::vector<Object> _objects;
    std::string _out;
    uint8_t _refSize = 1;
};

bool readsBackAs(const std::string &bytes, const PlistNode &top) {
    auto back = parseSettingsFile(bytes);
    return back && *back == top;
}

} // namespace

std::optional<std::string> binarySettingsFile(const PlistNode &top) { return BinaryWriter().write(top); }

sys::Result<std::string> serializeSettingsFile(const PlistNode &top) {
    if (top.kind != PlistNode::Kind::Dictionary)
        return sys::Status::failure(EINVAL, "plist");
    if (nodeDepth(top, kMaxSettingsDepth + 1) > kMaxSettingsDepth + 1)
        return sys::Status::failure(EFBIG, "plist");
    if (auto xml = xmlSettingsFile(top); xml && readsBackAs(*xml, top))
        return std::move(*xml);
    if (auto binary = binarySettingsFile(top); binary && readsBackAs(*binary, top))
        return std::move(*binary);
    return sys::Status::failure(EFBIG, "plist");
}

// ---------------------------------------------------------------------------------------------
// PrefValue

std::optional<PrefValue> toPrefValue(const PlistNode &node) {
    switch (node.kind) {
    case PlistNode::Kind::Boolean:
        return PrefValue::boolean(node.number != 0);
    case PlistNode::Kind::Integer:
        // libplist keeps every integer in 64 bits and reads "-5" as its two's complement.
        return PrefValue(static_cast<int64_t>(node.number));
    case PlistNode::Kind::Real:
        return PrefValue::real(node.real);
    case PlistNode::Kind::String:
        return PrefValue(node.bytes);
    case PlistNode::Kind::Array: {
        PrefValue::Array items;
        for (const PlistNode &item : node.items)
            if (auto value = toPrefValue(item))
                items.push_back(std::move(*value));
        return PrefValue(std::move(items));
    }
    case PlistNode::Kind::Dictionary: {
        PrefValue::Dictionary entries;
        for (size_t i = 0; i < node.keys.size(); ++i)
            if (auto value = toPrefValue(node.items[i]))
                entries.emplace(node.keys[i], std::move(*value));
        return PrefValue(std::move(entries));
    }
    case PlistNode::Kind::Date:
    case PlistNode::Kind::Data:
    case PlistNode::Kind::Uid:
        break;
    }
    return std::nullopt;
}

PlistNode toPlistNode(const PrefValue &value) {
    PlistNode node;
    switch (value.kind()) {
    case PrefValue::Kind::Integer:
        node.kind = PlistNode::Kind::Integer;
        node.number = static_cast<uint64_t>(value.integerValue());
        break;
    case PrefValue::Kind::Boolean:
        node.kind = PlistNode::Kind::Boolean;
        node.number = value.boolValue() ? 1 : 0;
        break;
    case PrefValue::Kind::Real:
        node.kind = PlistNode::Kind::Real;
        node.real = value.realValue();
        break;
    case PrefValue::Kind::String:
        node.kind = PlistNode::Kind::String;
        node.bytes = value.stringValue();
        break;
    case PrefValue::Kind::Array:
        node.kind = PlistNode::Kind::Array;
        for (const PrefValue &item : value.array())
            node.items.push_back(toPlistNode(item));
        break;
    case PrefValue::Kind::Dictionary:
        node.kind = PlistNode::Kind::Dictionary;
        for (const auto &[key, item] : value.dictionary()) {
            node.keys.push_back(key);
            node.items.push_back(toPlistNode(item));
        }
        break;
    }
    return node;
}

uint32_t prefValueDepth(const PrefValue &value, uint32_t limit) {
    const PrefValue::Kind kind = value.kind();
    if (kind != PrefValue::Kind::Array && kind != PrefValue::Kind::Dictionary)
        return 0;
    uint32_t deepest = 0;
    if (limit > 0) {
        for (const PrefValue &item : value.array())
            deepest = std::max(deepest, prefValueDepth(item, limit - 1));
        for (const auto &[key, item] : value.dictionary())
            deepest = std::max(deepest, prefValueDepth(item, limit - 1));
    }
    return deepest + 1;
}

} // namespace quillet
