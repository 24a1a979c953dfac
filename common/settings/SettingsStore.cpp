#include "settings/SettingsStore.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

namespace quillet {

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

} // namespace

std::string describeSettingValue(const PrefValue &value) {
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
    return "\"" + key + "\" must be " + rule->range + ", not " + describeSettingValue(value);
}

} // namespace quillet
