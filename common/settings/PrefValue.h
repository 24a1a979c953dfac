#pragma once
// One value of a preferences domain, of the property-list kinds the settings use, and the
// contents of a domain as key → value.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillet {

/// One preference value: the property-list kinds the settings use.
class PrefValue {
public:
    enum class Kind { Integer, Real, Boolean, String, Array, Dictionary };
    using Array = std::vector<PrefValue>;
    using Dictionary = std::map<std::string, PrefValue>;

    /// Integer 0.
    PrefValue();
    PrefValue(int64_t integer);
    PrefValue(int integer) : PrefValue(static_cast<int64_t>(integer)) {}
    static PrefValue real(double value);
    static PrefValue boolean(bool value);
    PrefValue(std::string text);
    PrefValue(const char *text) : PrefValue(std::string(text)) {}
    PrefValue(Array array);
    PrefValue(Dictionary dictionary);

    Kind kind() const { return _kind; }
    bool isInteger() const { return _kind == Kind::Integer; }
    bool isDictionary() const { return _kind == Kind::Dictionary; }

    /// The value as a number object answers integerValue: an integer as it is, a boolean as
    /// 0/1, a real truncated, a string by its leading decimal number (0 when it has none), an
    /// array or dictionary 0.
    int64_t integerValue() const;
    /// integerValue() != 0.
    bool boolValue() const { return integerValue() != 0; }
    /// The decimal text of a number, the text of a string, "" for an array or dictionary.
    std::string stringValue() const;
    double realValue() const;
    /// Empty for any other kind.
    const Array &array() const;
    const Dictionary &dictionary() const;

    bool operator==(const PrefValue &other) const;
    bool operator!=(const PrefValue &other) const { return !(*this == other); }

private:
    Kind _kind = Kind::Integer;
    int64_t _integer = 0;
    double _real = 0;
    std::string _string;
    // Shared and immutable: copies stay cheap, and the recursive types need no complete
    // PrefValue here.
    std::shared_ptr<const Array> _array;
    std::shared_ptr<const Dictionary> _dictionary;
};

/// Key → value, the contents of a domain.
using PrefValues = std::map<std::string, PrefValue>;

} // namespace quillet
