#include "settings/SettingsMirror.h"

namespace quillet {

SettingsMirror SettingsMirror::load(const PreferencesDomain &domain, bool passwordExists) {
    auto stored = domain.read();
    SettingsMirror mirror(stored ? std::move(*stored) : PrefValues{});
    if (!stored)
        mirror._warnings.push_back(stored.status().message() + ": every setting has its default value");
    mirror.initDefaultMirror(passwordExists);
    return mirror;
}

SettingsMirror SettingsMirror::loadWithStoredPasswordFlag(const PreferencesDomain &domain) {
    // The password flag is not ours to decide: keep what the application stored, when it is a
    // value the application could have stored (the mirror warns about any other).
    bool passwordExists = false;
    if (auto stored = domain.read(); stored) {
        auto it = stored.value().find(prefs::kAppMustAskForPassword);
        passwordExists = it != stored.value().end() && !settingValueProblem(it->first, it->second) &&
                         it->second.boolValue();
    }
    return load(domain, passwordExists);
}

void SettingsMirror::initDefaultMirror(bool passwordExists) {
    for (const PrefDefault &entry : registeredDefaultList()) {
        auto [it, added] = _values.try_emplace(entry.key, entry.value);
        if (added)
            continue;
        if (auto problem = settingValueProblem(entry.key, it->second)) {
            _warnings.push_back(*problem + ": the stored value is ignored, the default, " +
                                describeSettingValue(entry.value) + ", is used");
            it->second = entry.value;
        }
    }
    const PrefValue password(passwordExists ? 1 : 0);
    if (auto stored = _values.find(prefs::kAppMustAskForPassword); stored != _values.end())
        if (auto problem = settingValueProblem(prefs::kAppMustAskForPassword, stored->second))
            _warnings.push_back(*problem + ": the stored value is ignored, " + describeSettingValue(password) +
                                " is used");
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

} // namespace quillet
