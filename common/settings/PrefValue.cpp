#include "settings/PrefValue.h"

#include <climits>
#include <cstdlib>
#include <sstream>

namespace quillet {

PrefValue::PrefValue() = default;

PrefValue::PrefValue(int64_t integer) : _kind(Kind::Integer), _integer(integer) {}

PrefValue PrefValue::real(double value) {
    PrefValue result;
    result._kind = Kind::Real;
    result._real = value;
    return result;
}

PrefValue PrefValue::boolean(bool value) {
    PrefValue result;
    result._kind = Kind::Boolean;
    result._integer = value ? 1 : 0;
    return result;
}

PrefValue::PrefValue(std::string text) : _kind(Kind::String), _string(std::move(text)) {}

PrefValue::PrefValue(Array array)
    : _kind(Kind::Array), _array(std::make_shared<const Array>(std::move(array))) {}

PrefValue::PrefValue(Dictionary dictionary)
    : _kind(Kind::Dictionary), _dictionary(std::make_shared<const Dictionary>(std::move(dictionary))) {}

int64_t PrefValue::integerValue() const {
    switch (_kind) {
    case Kind::Integer:
    case Kind::Boolean:
        return _integer;
    case Kind::Real:
        if (!(_real == _real))
            return 0;
        if (_real >= static_cast<double>(INT64_MAX))
            return INT64_MAX;
        if (_real <= static_cast<double>(INT64_MIN))
            return INT64_MIN;
        return static_cast<int64_t>(_real);
    case Kind::String:
        // Like a text field's integer value: leading blanks, a sign and digits count; text
        // without a leading number reads as 0.
        return std::strtoll(_string.c_str(), nullptr, 10);
    case Kind::Array:
    case Kind::Dictionary:
        break;
    }
    return 0;
}

std::string PrefValue::stringValue() const {
    switch (_kind) {
    case Kind::Integer:
    case Kind::Boolean:
        return std::to_string(_integer);
    case Kind::Real: {
        std::ostringstream text;
        text.precision(15);
        text << _real;
        return text.str();
    }
    case Kind::String:
        return _string;
    case Kind::Array:
    case Kind::Dictionary:
        break;
    }
    return {};
}

double PrefValue::realValue() const {
    if (_kind == Kind::Real)
        return _real;
    if (_kind == Kind::String)
        return std::strtod(_string.c_str(), nullptr);
    return static_cast<double>(integerValue());
}

const PrefValue::Array &PrefValue::array() const {
    static const Array empty;
    return _array ? *_array : empty;
}

const PrefValue::Dictionary &PrefValue::dictionary() const {
    static const Dictionary empty;
    return _dictionary ? *_dictionary : empty;
}

bool PrefValue::operator==(const PrefValue &other) const {
    if (_kind != other._kind)
        return false;
    switch (_kind) {
    case Kind::Integer:
    case Kind::Boolean:
        return _integer == other._integer;
    case Kind::Real:
        return _real == other._real;
    case Kind::String:
        return _string == other._string;
    case Kind::Array:
        return array() == other.array();
    case Kind::Dictionary:
        return dictionary() == other.dictionary();
    }
    return false;
}

} // namespace quillet
