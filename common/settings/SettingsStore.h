#pragma once
// The keys of the settings domain com.plx.Quillet (PreferencesDomain.h), shared by the main
// application, the tray companion and quilletctl: their registered defaults and the values each
// allows. Values of these keys are integers (0/1 for the on/off ones) except "App_Prefs", a
// dictionary.
//
// Every value of a key listed below is checked (settingValueProblem): the housekeeping daemon
// deletes what its limits tell it to, so a negative day count or a percentage of 150 would empty
// the cache. A write of such a value is refused, and a stored one is not taken: the mirror uses
// the registered default instead and says so in its warnings. Keys of other programs pass
// unchecked.

#include "settings/PrefValue.h"

#include <optional>
#include <string>
#include <vector>

namespace quillet {

/// Preference keys of the domain com.plx.Quillet.
namespace prefs {
inline constexpr char kSurveyHomeTrashOnly[] = "Survey home Trash only";
inline constexpr char kKeepDataForDays[] = "Keep data for days";
inline constexpr char kHowManyDaysToKeepData[] = "How many days to keep data";
inline constexpr char kKeepDataForSizeMax[] = "Keep data for size max";
inline constexpr char kSizeMaxForCache[] = "Size max for cache";
inline constexpr char kPercentageOfFreeDiskSpace[] = "Percentage of free disk space";
inline constexpr char kModeOfCacheFileHandling[] = "Mode of cache file handling";
inline constexpr char kTimeOfLastDaemonLaunch[] = "Time of last daemon launch";
inline constexpr char kDaemonsAreRunning[] = "Daemons are running";
inline constexpr char kAppPrefsCheckUpdates[] = "App_Prefs_checkUpdates";
inline constexpr char kAppPrefs[] = "App_Prefs";
inline constexpr char kDisplayMenuExtra[] = "Display menu extra";
inline constexpr char kAppMustAskForPassword[] = "App must ask for password";
} // namespace prefs

/// One registered default.
struct PrefDefault {
    const char *key;
    PrefValue value;
};

/// The twelve registered defaults of com.plx.Quillet, in the order of the settings table
/// ("App must ask for password" has none).
const std::vector<PrefDefault> &registeredDefaultList();
/// The same defaults as a dictionary.
PrefValues registeredDefaults();

/// Nothing when value is allowed for key, else the message that names the key, the values it
/// takes and the value given, e.g. "\"Percentage of free disk space\" must be a whole number
/// from 0 to 99, not 150". Keys other than those of prefs:: pass. A number key takes an integer,
/// a real that is a whole number, or a string that is exactly a decimal integer ("-?[0-9]+"),
/// each within its range; the on/off keys also take a boolean; "App_Prefs" takes a dictionary.
/// The ranges: 0 or 1 for the on/off keys and "Mode of cache file handling"; "How many days to
/// keep data" 1 to 36500; "Size max for cache" 0 to 8796093022207 megabytes (the largest whose
/// byte count fits a signed 64-bit integer); "Percentage of free disk space" 0 to 99; "Time of
/// last daemon launch" 0 to 9223372036854775807.
std::optional<std::string> settingValueProblem(const std::string &key, const PrefValue &value);
/// The value as the messages about settings show it: a number as it is, a boolean as true or
/// false, an array or dictionary by its kind; a string as it is when it is a decimal integer of
/// at most 40 characters, else quoted: its first 40 characters, control characters, quotes and
/// backslashes as \xNN, and "..." before the closing quote when it was cut.
std::string describeSettingValue(const PrefValue &value);

} // namespace quillet
