#pragma once
// Password bytes in memory: kept apart from ordinary strings so that they can be wiped.

#include <cstddef>
#include <memory>
#include <string_view>

namespace quillet::sys {

/// Password bytes held in memory, wiped when they go. Move-only; never copied.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(std::string_view bytes);
    SecretText(SecretText &&other) noexcept;
    SecretText &operator=(SecretText &&other) noexcept;
    SecretText(const SecretText &) = delete;
    SecretText &operator=(const SecretText &) = delete;
    ~SecretText();

    std::string_view view() const { return {_bytes.get(), _size}; }
    size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    /// Whether typed holds the same bytes. Takes the same time whatever the first differing byte.
    bool matches(std::string_view typed) const;

private:
    void wipe();

    std::unique_ptr<char[]> _bytes;
    size_t _size = 0;
};

} // namespace quillet::sys
