#include "platform/SecretText.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace quillet::sys {

SecretText::SecretText(std::string_view bytes) : _size(bytes.size()) {
    // Never a std::string: its short-string buffer would leave copies behind on every move.
    _bytes = std::make_unique<char[]>(std::max<size_t>(_size, 1));
    std::memcpy(_bytes.get(), bytes.data(), _size);
}

SecretText::SecretText(SecretText &&other) noexcept
    : _bytes(std::move(other._bytes)), _size(std::exchange(other._size, 0)) {}

SecretText &SecretText::operator=(SecretText &&other) noexcept {
    if (this != &other) {
        wipe();
        _bytes = std::move(other._bytes);
        _size = std::exchange(other._size, 0);
    }
    return *this;
}

SecretText::~SecretText() { wipe(); }

void SecretText::wipe() {
    if (_bytes)
        ::explicit_bzero(_bytes.get(), _size);
    _bytes.reset();
    _size = 0;
}

bool SecretText::matches(std::string_view typed) const {
    // Every byte of the longer text is looked at, so the time taken does not tell how many
    // leading bytes of a guess were right.
    unsigned difference = _size == typed.size() ? 0 : 1;
    const size_t length = std::max(_size, typed.size());
    for (size_t i = 0; i < length; ++i) {
        const auto stored = static_cast<unsigned char>(i < _size ? _bytes[i] : 0);
        const auto given = static_cast<unsigned char>(i < typed.size() ? typed[i] : 0);
        difference |= static_cast<unsigned>(stored ^ given);
    }
    return difference == 0;
}

} // namespace quillet::sys
