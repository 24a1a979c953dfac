#pragma once
// The user's settings: the preferences domains shared by the main application, the tray
// companion and quilletctl, the registered defaults, the settings mirror, and the daemon
// command lines built from the mirror.
//
// On disk a domain is the property-list file "$XDG_CONFIG_HOME/<domain>.plist" (default
// ~/.config): a dictionary at the top, written as XML, or as a binary property list
// ("bplist00") when XML cannot carry its contents (see SettingsFile.h); both forms are read.
// Values of the keys listed below are integers (0/1 for the on/off ones) except "App_Prefs", a
// dictionary.
//
// Every value of a key listed below is checked (settingValueProblem): the housekeeping daemon
// deletes what its limits tell it to, so a negative day count or a percentage of 150 would empty
// the cache. A write of such a value is refused, and a stored one is not taken: the mirror uses
// the registered default instead and says so in its warnings. Keys of other programs pass
// unchecked.
//
// Every program reads and writes a domain through PreferencesDomain:
//   - Reading takes no lock and never writes: writers replace the file by rename, so a reader
//     sees either the old or the new file, whole.
//   - A write takes an exclusive flock on "<domain>.plist.lock" beside the file, reads the file
//     again, changes only the keys it was given, and replaces the file atomically (temporary file,
//     fsync, rename). Two processes writing different keys at the same moment both keep theirs,
//     and keys this program does not know (another program's, of any kind, dates and data
//     included) are carried over untouched.
//   - A write never produces a file the reader would refuse or read differently (larger than
//     kMaxDomainFileBytes, nested deeper than kMaxSettingsDepth): it fails with EFBIG and leaves
//     the file as it was.
//   - A file that is not a property list with a dictionary at the top, is larger than
//     kMaxDomainFileBytes or nests arrays and dictionaries deeper than kMaxSettingsDepth is
//     corrupt. read() reports it, and the callers fall back to the registered defaults. The file
//     is left alone until the next write; that write first moves it aside as
//     "<domain>.plist.corrupt-<seconds since 1970>" (never replacing an earlier copy), then
//     starts a fresh file holding only the written keys. The user's file is thus never lost, and
//     the programs keep working without asking the user to repair a file by hand. A file that
//     cannot be read at all (permissions, I/O error) is never replaced: the write fails.
//   - An empty file holds no values; it is not corrupt.

#include "platform/System.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

/// Domain of the main application (the protection settings).
inline constexpr char kQuilletDomain[] = "com.plx.Quillet";
/// Domain of the tray companion's own settings.
inline constexpr char kMenuExtraDomain[] = "com.plx.QuilletMenuExtra";
/// Largest domain file read; a larger one counts as corrupt.
inline constexpr size_t kMaxDomainFileBytes = 1024 * 1024;

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

/// A preferences domain: a name and its property-list file.
class PreferencesDomain {
public:
    /// The domain's file in configFolder(): "<name>.plist".
    explicit PreferencesDomain(std::string name);
    /// The domain kept in folder instead (tests, tools).
    PreferencesDomain(std::string name, const std::string &folder);

    const std::string &name() const { return _name; }
    const std::string &path() const { return _path; }
    /// The flock companion file of path().
    std::string lockPath() const { return _path + ".lock"; }

    /// The stored values. A missing or empty file holds none. A corrupt file fails with
    /// EBADMSG (or EFBIG when too large); any other failure carries the errno of the read.
    /// Values of kinds PrefValue does not represent are left out. Never writes anything.
    sys::Result<PrefValues> read() const;

    /// What a write did besides storing the keys.
    struct WriteReport {
        /// Where a corrupt file was moved aside, empty when there was none.
        std::string corruptCopyPath;
    };
    /// Stores every key of values (replacing what each held), keeping all other keys of the file.
    /// Refused with EINVAL, nothing written, when a value is not allowed for its key (the status
    /// carries settingValueProblem's message); with EFBIG, nothing written, when a value nests
    /// deeper than kMaxSettingsDepth or the file would not read back as written.
    sys::Result<WriteReport> setValues(const PrefValues &values);
    sys::Result<WriteReport> setValue(const std::string &key, const PrefValue &value);
    /// Removes keys; the others stay. EFBIG as for setValues.
    sys::Result<WriteReport> removeKeys(const std::vector<std::string> &keys);
    sys::Result<WriteReport> removeKey(const std::string &key) { return removeKeys({key}); }

private:
    std::string _name;
    std::string _path;
};

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

/// The six arguments of quilletd (after the program name): "1", trashFolder and cacheBase each
/// ending in "/" (one is added when missing; an empty one gives "/"), the size limit in megabytes
/// when "Keep data for size max" is on else "0", the free-space percentage when not 0 else "0",
/// and "1" when the mode is non-zero else "0".
std::vector<std::string> protectionDaemonArguments(const SettingsMirror &mirror, const std::string &trashFolder,
                                                   const std::string &cacheBase);
/// The six arguments of quilletMountDiskd: those of quilletd with "/" and "/" for the folders.
std::vector<std::string> mountWatcherArguments(const SettingsMirror &mirror);
/// The four arguments of quilletCacheManagerd: the days to keep when "Keep data for days" is on
/// else "0", the size limit as for quilletd, the free-space percentage when above 0 else "0",
/// and "0".
std::vector<std::string> cacheManagerArguments(const SettingsMirror &mirror);

} // namespace quillet
