#include "support/VersionTools.h"

#include <algorithm>

namespace quillet {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// Finds the ">" that ends a tag. Occurrences of the title are scanned from left to right, so
/// the answer for one start also holds for every later start up to it: a page of a million
/// unclosed tags is then read once, not a million times.
class TagEnds {
public:
    explicit TagEnds(std::string_view text) : _text(text) {}
    size_t after(size_t from) {
        if (!(_known && from >= _from && from <= _found)) {
            _from = from;
            _found = _text.find('>', from);
            _known = true;
        }
        return _found;
    }

private:
    std::string_view _text;
    bool _known = false;
    size_t _from = 0;
    size_t _found = 0;
};

/// The characters scanned after the occurrence of the title that ends at start.
std::string versionAfter(std::string_view text, size_t start, TagEnds &tagEnds) {
    std::string collected;
    size_t i = start;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '<') {
            const size_t end = tagEnds.after(i + 1);
            if (end == std::string_view::npos)
                return {};
            i = end + 1;
        } else if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '-') {
            ++i;
        } else if (isDigit(c)) {
            break;
        } else {
            return {};
        }
    }
    while (i < text.size() && collected.size() < kMaxVersionLength) {
        const char c = text[i];
        if (!isDigit(c) && c != '.' && !isAsciiLetter(c))
            break;
        collected += c;
        ++i;
    }
    return collected;
}

enum class FieldKind { Number, Tag, End };

struct Field {
    FieldKind kind = FieldKind::End;
    std::string_view text; ///< a number without its leading zeros ("" for zero), or a tag
};

/// Reads the field that starts at or after position; moves position past it.
Field nextField(std::string_view version, size_t &position) {
    while (position < version.size() && !isDigit(version[position]) && !isAsciiLetter(version[position]))
        ++position;
    if (position >= version.size())
        return {};
    const size_t begin = position;
    if (isDigit(version[position])) {
        while (position < version.size() && isDigit(version[position]))
            ++position;
        size_t significant = begin;
        while (significant < position && version[significant] == '0')
            ++significant;
        return {FieldKind::Number, version.substr(significant, position - significant)};
    }
    while (position < version.size() && isAsciiLetter(version[position]))
        ++position;
    return {FieldKind::Tag, version.substr(begin, position - begin)};
}

int sign(int value) { return (value > 0) - (value < 0); }

int compareNumbers(std::string_view a, std::string_view b) {
    // Digits compared as text, never converted: a page may name a number of any length.
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

int compareTags(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (const char x = lowered(a[i]), y = lowered(b[i]); x != y)
            return x < y ? -1 : 1;
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return 0;
}

int compareFields(const Field &a, const Field &b) {
    if (a.kind == b.kind) {
        if (a.kind == FieldKind::Number)
            return compareNumbers(a.text, b.text);
        if (a.kind == FieldKind::Tag)
            return compareTags(a.text, b.text);
        return 0;
    }
    // A missing number is a zero.
    if (a.kind == FieldKind::End && b.kind == FieldKind::Number)
        return b.text.empty() ? 0 : -1;
    if (a.kind == FieldKind::Number && b.kind == FieldKind::End)
        return a.text.empty() ? 0 : 1;
    // A further number is a later release; a tag marks a pre-release, older than what has
    // none, so it orders below both the end and a number.
    return a.kind == FieldKind::Tag ? -1 : 1;
}

} // namespace

std::optional<std::string> searchVersion(std::string_view title, std::string_view text) {
    size_t occurrence = text.find(title);
    if (occurrence == std::string_view::npos)
        return std::nullopt;
    TagEnds tagEnds(text);
    while (occurrence != std::string_view::npos) {
        std::string version = versionAfter(text, occurrence + title.size(), tagEnds);
        if (version.find('.') != std::string::npos)
            return version;
        occurrence = text.find(title, occurrence + 1);
    }
    return std::string();
}

int compareVersions(std::string_view a, std::string_view b) {
    size_t atA = 0;
    size_t atB = 0;
    for (;;) {
        const Field fieldA = nextField(a, atA);
        const Field fieldB = nextField(b, atB);
        if (fieldA.kind == FieldKind::End && fieldB.kind == FieldKind::End)
            return 0;
        if (int order = compareFields(fieldA, fieldB); order != 0)
            return order;
    }
}

bool isThisVersionNewerThan(std::optional<std::string_view> candidate, std::optional<std::string_view> current) {
    if (!candidate || candidate->empty() || candidate->size() > kMaxVersionLength)
        return false;
    if (!current || current->empty())
        return true;
    return compareVersions(*candidate, *current) > 0;
}

} // namespace quillet
