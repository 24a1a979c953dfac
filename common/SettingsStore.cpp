#include "SettingsStore.h"

#include "SettingsFile.h"
#include "platform/FileLock.h"
#include "platform/UserPaths.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace quillet {

// ---------------------------------------------------------------------------------------------
// PrefValue

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

// ---------------------------------------------------------------------------------------------
// Registered defaults

const std::vector<PrefDefault> &registeredDefaultList() {
    static const std::vector<PrefDefault> list = {
        {prefs::kSurveyHomeTrashOnly, PrefValue(1)},
        {prefs::kKeepDataForDays, PrefValue(1)},
        {prefs::kHowManyDaysToKeepData, PrefValue(7)},
        {prefs::kKeepDataForSizeMax, PrefValue(1)},
        {prefs::kSizeMaxForCache, PrefValue(4096)},
        {prefs::kPercentageOfFreeDiskSpace, PrefValue(10)},
        {prefs::kModeOfCacheFileHandling, PrefValue(0)},
        {prefs::kTimeOfLastDaemonLaunch, PrefValue(0)},
        {prefs::kDaemonsAreRunning, PrefValue(0)},
        {prefs::kAppPrefsCheckUpdates, PrefValue(1)},
        {prefs::kAppPrefs, PrefValue(PrefValue::Dictionary{})},
        {prefs::kDisplayMenuExtra, PrefValue(1)},
    };
    return list;
}

PrefValues registeredDefaults() {
    PrefValues values;
    for (const PrefDefault &entry : registeredDefaultList())
        values.emplace(entry.key, entry.value);
    return values;
}

// ---------------------------------------------------------------------------------------------
// Allowed values

namespace {

enum class Allowed {
    Switch,     ///< 0 or 1, a boolean too
    Number,     ///< a whole number in [low, high]
    Dictionary, ///< any dictionary
};

struct KeyRule {
    const char *key;
    Allowed allowed;
    int64_t low = 0;
    int64_t high = 1;
    /// What the message says is allowed.
    const char *range = "0 or 1";
};

const std::vector<KeyRule> &keyRules() {
    static const std::vector<KeyRule> rules = {
        {prefs::kSurveyHomeTrashOnly, Allowed::Switch},
        {prefs::kKeepDataForDays, Allowed::Switch},
        {prefs::kHowManyDaysToKeepData, Allowed::Number, 1, 36500,
         "a whole number from 1 to 36500 (to keep data without a day limit, set \"Keep data for days\" to 0)"},
        {prefs::kKeepDataForSizeMax, Allowed::Switch},
        // Megabytes: the largest count whose byte count still fits a signed 64-bit integer.
        {prefs::kSizeMaxForCache, Allowed::Number, 0, INT64_MAX >> 20, "a whole number of megabytes from 0 to 8796093022207"},
        {prefs::kPercentageOfFreeDiskSpace, Allowed::Number, 0, 99, "a whole number from 0 to 99"},
        {prefs::kModeOfCacheFileHandling, Allowed::Number, 0, 1, "0 (copy) or 1 (move)"},
        {prefs::kTimeOfLastDaemonLaunch, Allowed::Number, 0, INT64_MAX,
         "a whole number from 0 to 9223372036854775807 (seconds since 1970)"},
        {prefs::kDaemonsAreRunning, Allowed::Switch},
        {prefs::kAppPrefsCheckUpdates, Allowed::Switch},
        {prefs::kAppPrefs, Allowed::Dictionary, 0, 0, "a dictionary"},
        {prefs::kDisplayMenuExtra, Allowed::Switch},
        {prefs::kAppMustAskForPassword, Allowed::Switch},
    };
    return rules;
}

const KeyRule *ruleFor(const std::string &key) {
    for (const KeyRule &rule : keyRules())
        if (key == rule.key)
            return &rule;
    return nullptr;
}

/// "-?[0-9]+": what a string must look like to stand for a number.
bool isDecimalInteger(std::string_view text) {
    if (!text.empty() && text.front() == '-')
        text.remove_prefix(1);
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

/// The whole number value stands for, nothing when it stands for none (or one beyond 64 bits).
std::optional<int64_t> wholeNumber(const PrefValue &value, bool acceptBoolean) {
    switch (value.kind()) {
    case PrefValue::Kind::Integer:
        return value.integerValue();
    case PrefValue::Kind::Boolean:
        return acceptBoolean ? std::optional<int64_t>(value.integerValue()) : std::nullopt;
    case PrefValue::Kind::Real: {
        const double real = value.realValue();
        // 2^63 itself does not fit; every double below it and at or above -2^63 that is whole
        // converts exactly.
        if (!std::isfinite(real) || std::trunc(real) != real || real < -0x1p63 || real >= 0x1p63)
            return std::nullopt;
        return static_cast<int64_t>(real);
    }
    case PrefValue::Kind::String: {
        const std::string text = value.stringValue();
        if (!isDecimalInteger(text))
            return std::nullopt;
        int64_t number = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error != std::errc() || end != text.data() + text.size())
            return std::nullopt;
        return number;
    }
    case PrefValue::Kind::Array:
    case PrefValue::Kind::Dictionary:
        break;
    }
    return std::nullopt;
}

/// The value as a message shows it: numbers as they are, text in quotes unless it is all
/// digits, and at most 40 characters of it.
std::string describe(const PrefValue &value) {
    switch (value.kind()) {
    case PrefValue::Kind::Integer:
    case PrefValue::Kind::Real:
        return value.stringValue();
    case PrefValue::Kind::Boolean:
        return value.boolValue() ? "true" : "false";
    case PrefValue::Kind::Array:
        return "an array";
    case PrefValue::Kind::Dictionary:
        return value.dictionary().empty() ? "an empty dictionary" : "a dictionary";
    case PrefValue::Kind::String:
        break;
    }
    const std::string text = value.stringValue();
    constexpr size_t kShown = 40;
    if (isDecimalInteger(text) && text.size() <= kShown)
        return text;
    std::string shown = "\"";
    for (size_t i = 0; i < text.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown + (text.size() > kShown ? "...\"" : "\"");
}

} // namespace

std::optional<std::string> settingValueProblem(const std::string &key, const PrefValue &value) {
    const KeyRule *rule = ruleFor(key);
    if (!rule)
        return std::nullopt;
    bool allowed = false;
    if (rule->allowed == Allowed::Dictionary) {
        allowed = value.isDictionary();
    } else {
        auto number = wholeNumber(value, rule->allowed == Allowed::Switch);
        allowed = number && *number >= rule->low && *number <= rule->high;
    }
    if (allowed)
        return std::nullopt;
    return "\"" + key + "\" must be " + rule->range + ", not " + describe(value);
}

// ---------------------------------------------------------------------------------------------
// PreferencesDomain

namespace {

/// Creates folder and its missing parents (mode 0700).
sys::Status makeFolders(const std::string &folder) {
    if (folder.empty() || folder == "/" || folder == "." || sys::exists(folder))
        return {};
    if (sys::Status parent = makeFolders(sys::parentPath(folder)); !parent)
        return parent;
    sys::Status made = sys::mkdir(folder, 0700);
    if (!made && made.code() != EEXIST)
        return made;
    return {};
}

/// Moves a corrupt domain file to "<path>.corrupt-<seconds>", adding "-<n>" when that name is
/// taken, so that no earlier copy is ever replaced.
sys::Result<std::string> moveAside(const std::string &path) {
    const std::string base = path + ".corrupt-" + std::to_string(static_cast<long long>(sys::now()));
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        sys::Status moved = sys::renameNoReplace(path, target);
        if (moved)
            return target;
        if (moved.code() != EEXIST)
            return moved;
    }
    return sys::Status::failure(EEXIST, "rename", path);
}

/// Why a domain file was not taken, in words for the user.
std::string corruptionReason(int code) {
    if (code == EFBIG)
        return "larger than " + std::to_string(kMaxDomainFileBytes) + " bytes";
    return "not a property list with a dictionary at the top, or nested more than " +
           std::to_string(kMaxSettingsDepth) + " levels deep";
}

} // namespace

PreferencesDomain::PreferencesDomain(std::string name) : PreferencesDomain(std::move(name), sys::configFolder()) {}

PreferencesDomain::PreferencesDomain(std::string name, const std::string &folder)
    : _name(std::move(name)), _path(sys::joinPath(folder, _name + ".plist")) {}

sys::Result<PrefValues> PreferencesDomain::read() const {
    auto bytes = sys::readFile(_path, kMaxDomainFileBytes);
    if (!bytes) {
        if (bytes.code() == ENOENT)
            return PrefValues{};
        return bytes.status();
    }
    auto top = parseSettingsFile(*bytes);
    if (!top)
        return sys::Status::refusal(top.code(), _path, corruptionReason(top.code()));
    auto values = toPrefValue(*top);
    if (!values)
        return PrefValues{};
    return values->dictionary();
}

namespace {

/// The one write path: lock, read the file again, change, replace atomically, unlock.
template <typename Change>
sys::Result<PreferencesDomain::WriteReport> modifyDomain(const PreferencesDomain &domain, Change change) {
    const std::string &path = domain.path();
    if (sys::Status folder = makeFolders(sys::parentPath(path)); !folder)
        return folder;
    auto lock = sys::FileLock::acquire(domain.lockPath(), sys::FileLock::Mode::Exclusive);
    if (!lock)
        return lock.status();

    PlistNode top = PlistNode::dictionary();
    bool corrupt = false;
    if (auto bytes = sys::readFile(path, kMaxDomainFileBytes); bytes) {
        auto parsed = parseSettingsFile(*bytes);
        corrupt = !parsed;
        if (parsed)
            top = std::move(*parsed);
    } else if (bytes.code() == EFBIG) {
        corrupt = true;
    } else if (bytes.code() != ENOENT) {
        // What cannot be read is not ours to replace.
        return bytes.status();
    }

    change(top);

    // Made before anything moves: a refused write leaves even a corrupt file where it was.
    auto text = serializeSettingsFile(top);
    if (!text)
        return sys::Status::refusal(EFBIG, path,
                                    "not written: the settings would not read back as written (larger than " +
                                        std::to_string(kMaxDomainFileBytes) + " bytes, nested more than " +
                                        std::to_string(kMaxSettingsDepth) + " levels deep, or text neither form carries)");
    PreferencesDomain::WriteReport report;
    if (corrupt) {
        auto aside = moveAside(path);
        if (!aside)
            return aside.status();
        report.corruptCopyPath = std::move(*aside);
    }
    if (sys::Status written = sys::writeFileAtomically(path, *text, 0600); !written)
        return written;
    return report;
}

} // namespace

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::setValues(const PrefValues &values) {
    for (const auto &[key, value] : values) {
        if (auto problem = settingValueProblem(key, value))
            return sys::Status::refusal(EINVAL, _path, *problem);
        if (prefValueDepth(value, kMaxSettingsDepth) > kMaxSettingsDepth)
            return sys::Status::refusal(EFBIG, _path,
                                        "\"" + key + "\" nests more than " + std::to_string(kMaxSettingsDepth) + " levels deep");
    }
    return modifyDomain(*this, [&values](PlistNode &top) {
        for (const auto &[key, value] : values)
            top.set(key, toPlistNode(value));
    });
}

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::setValue(const std::string &key, const PrefValue &value) {
    return setValues(PrefValues{{key, value}});
}

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::removeKeys(const std::vector<std::string> &keys) {
    return modifyDomain(*this, [&keys](PlistNode &top) {
        for (const std::string &key : keys)
            top.remove(key);
    });
}

// ---------------------------------------------------------------------------------------------
// SettingsMirror

SettingsMirror SettingsMirror::load(const PreferencesDomain &domain, bool passwordExists) {
    auto stored = domain.read();
    SettingsMirror mirror(stored ? std::move(*stored) : PrefValues{});
    if (!stored)
        mirror._warnings.push_back(stored.status().message() + ": every setting has its default value");
    mirror.initDefaultMirror(passwordExists);
    return mirror;
}

void SettingsMirror::initDefaultMirror(bool passwordExists) {
    for (const PrefDefault &entry : registeredDefaultList()) {
        auto [it, added] = _values.try_emplace(entry.key, entry.value);
        if (added)
            continue;
        if (auto problem = settingValueProblem(entry.key, it->second)) {
            _warnings.push_back(*problem + ": the stored value is ignored, the default, " + describe(entry.value) +
                                ", is used");
            it->second = entry.value;
        }
    }
    const PrefValue password(passwordExists ? 1 : 0);
    if (auto stored = _values.find(prefs::kAppMustAskForPassword); stored != _values.end())
        if (auto problem = settingValueProblem(prefs::kAppMustAskForPassword, stored->second))
            _warnings.push_back(*problem + ": the stored value is ignored, " + describe(password) + " is used");
    _values[prefs::kAppMustAskForPassword] = password;
}

std::optional<PrefValue> SettingsMirror::value(const std::string &key) const {
    auto found = _values.find(key);
    if (found == _values.end())
        return std::nullopt;
    return found->second;
}

int64_t SettingsMirror::integer(const std::string &key) const {
    auto found = _values.find(key);
    return found == _values.end() ? 0 : found->second.integerValue();
}

// ---------------------------------------------------------------------------------------------
// Command lines

namespace {

std::string withTrailingSlash(const std::string &folder) {
    if (!folder.empty() && folder.back() == '/')
        return folder;
    return folder + "/";
}

std::string sizeLimitArgument(const SettingsMirror &mirror) {
    return mirror.keepDataForSizeMax() ? std::to_string(mirror.sizeMaxForCache()) : "0";
}

} // namespace

std::vector<std::string> protectionDaemonArguments(const SettingsMirror &mirror, const std::string &trashFolder,
                                                   const std::string &cacheBase) {
    const int64_t percentage = mirror.percentageOfFreeDiskSpace();
    return {
        "1",
        withTrailingSlash(trashFolder),
        withTrailingSlash(cacheBase),
        sizeLimitArgument(mirror),
        percentage != 0 ? std::to_string(percentage) : "0",
        mirror.modeOfCacheFileHandling() != 0 ? "1" : "0",
    };
}

std::vector<std::string> mountWatcherArguments(const SettingsMirror &mirror) {
    return protectionDaemonArguments(mirror, "", "");
}

std::vector<std::string> cacheManagerArguments(const SettingsMirror &mirror) {
    const int64_t percentage = mirror.percentageOfFreeDiskSpace();
    return {
        mirror.keepDataForDays() ? std::to_string(mirror.daysToKeep()) : "0",
        sizeLimitArgument(mirror),
        percentage > 0 ? std::to_string(percentage) : "0",
        "0",
    };
}

} // namespace quillet
