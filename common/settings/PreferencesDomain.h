#pragma once
// A preferences domain: the settings shared by the main application, the tray companion and
// quilletctl (com.plx.Quillet), or a program's own (com.plx.QuilletMenuExtra).
//
// On disk a domain is the property-list file "$XDG_CONFIG_HOME/<domain>.plist" (default
// ~/.config): a dictionary at the top, written as XML, or as a binary property list
// ("bplist00") when XML cannot carry its contents (see SettingsFile.h); both forms are read.
// The keys of com.plx.Quillet, their defaults and the values each allows are in SettingsStore.h;
// a write of a value its key does not allow (settingValueProblem) is refused.
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

#include "settings/PrefValue.h"
#include "platform/System.h"

#include <cstddef>
#include <string>
#include <vector>

namespace quillet {

/// Domain of the main application (the protection settings).
inline constexpr char kQuilletDomain[] = "com.plx.Quillet";
/// Domain of the tray companion's own settings.
inline constexpr char kMenuExtraDomain[] = "com.plx.QuilletMenuExtra";
/// Largest domain file read; a larger one counts as corrupt.
inline constexpr size_t kMaxDomainFileBytes = 1024 * 1024;

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

} // namespace quillet
