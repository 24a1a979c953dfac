#pragma once
// The settings mirror: what the programs take the settings to be. Every daemon command line is
// built from it (DaemonCommandLine.h).

#include "settings/PrefValue.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

/// The settings mirror: every stored value completed with the registered defaults. All daemon
/// command lines are built from it, never from what a settings form shows.
class SettingsMirror {
public:
    /// An empty mirror.
    SettingsMirror() = default;
    /// The stored values as they are (still to be completed by initDefaultMirror).
    explicit SettingsMirror(PrefValues stored) : _values(std::move(stored)) {}
    /// What the programs start from: the domain's stored values (none when the file is missing
    /// or corrupt) completed by initDefaultMirror(passwordExists). A file that cannot be read
    /// adds a warning naming it.
    static SettingsMirror load(const PreferencesDomain &domain, bool passwordExists);
    /// load() for a program that cannot look at the password itself (quilletctl): the password
    /// counts as existing when the domain holds "App must ask for password" with an allowed value
    /// that is on.
    static SettingsMirror loadWithStoredPasswordFlag(const PreferencesDomain &domain);

    /// Stores each registered default that the mirror lacks, in table order, and replaces by its
    /// default each value that settingValueProblem refuses, adding a warning for it (the key, the
    /// value, what is allowed and the default used). Then sets "App must ask for password" to 1
    /// when passwordExists, else 0, whatever it held (warning too when that was not allowed).
    void initDefaultMirror(bool passwordExists);

    /// One line per value not taken, for the front ends to show; empty when all were taken.
    const std::vector<std::string> &warnings() const { return _warnings; }

    const PrefValues &values() const { return _values; }
    std::optional<PrefValue> value(const std::string &key) const;
    void set(const std::string &key, PrefValue value) { _values[key] = std::move(value); }
    /// integerValue() of the key, 0 when missing.
    int64_t integer(const std::string &key) const;

    bool surveyHomeTrashOnly() const { return integer(prefs::kSurveyHomeTrashOnly) != 0; }
    bool keepDataForDays() const { return integer(prefs::kKeepDataForDays) != 0; }
    int64_t daysToKeep() const { return integer(prefs::kHowManyDaysToKeepData); }
    bool keepDataForSizeMax() const { return integer(prefs::kKeepDataForSizeMax) != 0; }
    /// Megabytes.
    int64_t sizeMaxForCache() const { return integer(prefs::kSizeMaxForCache); }
    int64_t percentageOfFreeDiskSpace() const { return integer(prefs::kPercentageOfFreeDiskSpace); }
    /// 0 copy, 1 move.
    int64_t modeOfCacheFileHandling() const { return integer(prefs::kModeOfCacheFileHandling); }
    /// Seconds since 1970-01-01 UTC.
    int64_t timeOfLastDaemonLaunch() const { return integer(prefs::kTimeOfLastDaemonLaunch); }
    bool daemonsAreRunning() const { return integer(prefs::kDaemonsAreRunning) != 0; }
    bool checkUpdates() const { return integer(prefs::kAppPrefsCheckUpdates) != 0; }
    bool displayMenuExtra() const { return integer(prefs::kDisplayMenuExtra) != 0; }
    bool appMustAskForPassword() const { return integer(prefs::kAppMustAskForPassword) != 0; }

private:
    PrefValues _values;
    std::vector<std::string> _warnings;
};

} // namespace quillet
