#include "support/TextEscape.h"

#include <algorithm>

namespace quillet {

size_t utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

namespace {

void appendOctal(std::string &text, unsigned char byte) {
    text += '\\';
    text += static_cast<char>('0' + (byte >> 6));
    text += static_cast<char>('0' + ((byte >> 3) & 7));
    text += static_cast<char>('0' + (byte & 7));
}

} // namespace

std::string escapedText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    appendEscapedText(escaped, text);
    return escaped;
}

void appendEscapedText(std::string &escaped, std::string_view text) {
    // Nearly every name needs nothing: one look, then one copy.
    if (std::none_of(text.begin(), text.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte >= 0x7F || c == '\\';
        })) {
        escaped += text;
        return;
    }
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = utf8SequenceLength(text, i);
            // C1 controls (U+0080..U+009F) are well-formed but move terminals about as C0 ones do.
            if (length == 0 || (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
                const size_t count = length == 0 ? 1 : length;
                for (size_t k = 0; k < count; ++k)
                    appendOctal(escaped, static_cast<unsigned char>(text[i + k]));
                i += count;
            } else {
                escaped.append(text, i, length);
                i += length;
            }
            continue;
        }
        if (byte == '\\')
            escaped += "\\\\";
        else if (byte == '\n')
            escaped += "\\n";
        else if (byte == '\t')
            escaped += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            appendOctal(escaped, byte);
        else
            escaped += static_cast<char>(byte);
        ++i;
    }
}

std::optional<std::string> unescapedText(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        const char c = text[i];
        if (c == '\\') {
            bytes += '\\';
        } else if (c == 'n') {
            bytes += '\n';
        } else if (c == 't') {
            bytes += '\t';
        } else if (c >= '0' && c <= '3' && i + 2 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7' &&
                   text[i + 2] >= '0' && text[i + 2] <= '7') {
            bytes += static_cast<char>(((c - '0') << 6) | ((text[i + 1] - '0') << 3) | (text[i + 2] - '0'));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    // Only the one way escapedText writes the bytes counts, so that one text never stands
    // for two names.
    if (escapedText(bytes) != text)
        return std::nullopt;
    return bytes;
}

} // namespace quillet
