#include "Commands.h"
#include "CommandSupport.h"

#include "browser/BrowserItem.h"
#include "archive/CacheFolders.h"
#include "browser/CacheSearch.h"
#include "browser/CacheTree.h"
#include "control/DaemonControl.h"
#include "archive/ItemOrigin.h"
#include "settings/PreferencesDomain.h"
#include "control/ProtectionControl.h"
#include "control/ProtectionStatistics.h"
#include "settings/SettingsMirror.h"
#include "settings/SettingsStore.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <ostream>

namespace quillet::cli {

bool isHelp(const std::string &arg) { return arg == "--help" || arg == "-h"; }

int usageError(std::ostream &err, const std::string &message, const char *help) {
    err << "quilletctl: " << message << "\n" << help;
    return kExitUsage;
}

std::optional<int64_t> parseInteger(const std::string &text) {
    int64_t value = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

namespace {

constexpr const char *kUsage =
    "Usage: quilletctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  status [--json]           Whether protection runs, the daemons, cache and trash sizes\n"
    "  start                     Start protection\n"
    "  stop                      Stop protection\n"
    "  settings [KEY [VALUE]]    Show all settings or one, or set one (restarts running protection)\n"
    "  list [--flat] [--hours N] [--sort name|date|size] [--reverse] [--json]\n"
    "                            The cached items: day rows with their items, or flat rows\n"
    "  search TEXT [--json]      Cached items whose names contain TEXT (case ignored)\n"
    "  recover ITEM... --to FOLDER\n"
    "                            Copy cached items (paths as list and search show them) into FOLDER\n"
    "  restore ITEM... [--to FOLDER]\n"
    "                            Copy cached items back to where they were trashed from\n"
    "  empty --all | ITEM... [--yes]\n"
    "                            Delete everything cached, or the items given, for good\n"
    "  log [--lines N]           The last messages of the daemons (50 lines unless given)\n"
    "\n"
    "When Quillet's cache browser is locked by a password, list, search, recover, restore and empty\n"
    "ask for it first, on the terminal; with --password-stdin they read it from the first line of\n"
    "standard input (for scripts). Without the password they refuse, with exit status 1.\n"
    "\n"
    "Every command takes --help. Exit status: 0 success, 1 failure, 2 usage error.\n";

constexpr const char *kLogHelp =
    "Usage: quilletctl log [--lines N]\n"
    "Shows the last N lines (50 unless given, at most 100000) of what the daemons wrote, from\n"
    "$XDG_STATE_HOME/quillet/daemons.log (~/.local/state/quillet/daemons.log).\n";

constexpr const char *kStatusHelp =
    "Usage: quilletctl status [--json]\n"
    "Shows whether protection is on, the daemons running, the cache and trash sizes, the volumes\n"
    "not protected, and how many trashed items were not archived in the last 24 hours, and why.\n";
constexpr const char *kStartHelp = "Usage: quilletctl start\nStarts protection; does nothing when it already runs.\n";
constexpr const char *kStopHelp = "Usage: quilletctl stop\nStops protection, without confirmation.\n";
constexpr const char *kSettingsHelp =
    "Usage: quilletctl settings [KEY [VALUE]]\n"
    "Without arguments, shows every setting as KEY = VALUE; with KEY alone, shows its value. With\n"
    "KEY and an integer VALUE, stores it; running protection is restarted so that the daemons use\n"
    "it. A VALUE outside the setting's range is refused, and the message gives the range. The keys:\n"
    "  \"Survey home Trash only\", \"Keep data for days\", \"Keep data for size max\",\n"
    "  \"App_Prefs_checkUpdates\", \"Display menu extra\" (each 0 or 1),\n"
    "  \"How many days to keep data\" (1 to 36500), \"Size max for cache\" (megabytes),\n"
    "  \"Percentage of free disk space\" (0 to 99), \"Mode of cache file handling\" (0 copy, 1 move).\n";
constexpr const char *kListHelp =
    "Usage: quilletctl list [--flat] [--hours N] [--sort name|date|size] [--reverse] [--json]\n"
    "                       [--password-stdin]\n"
    "Lists the cached items: one row per day with its items indented, or with --flat one row per\n"
    "item. --hours N keeps the days of the last N hours (0: all). Each row: name, date, size, the\n"
    "folder the item was trashed from (\"-\" when not known) and its path in the cache, tab-separated;\n"
    "in names and paths a backslash shows as \\\\, a newline as \\n, a tab as \\t and any other control\n"
    "or non-UTF-8 byte as \\ooo (octal). --json gives each row's fields, with originalPath and\n"
    "deletionDate (null when not known); a byte that is not UTF-8 is the escape \\udcXX.\n"
    "When the cache is locked by a password (Quillet's settings), asks for it on the terminal first;\n"
    "--password-stdin reads it from the first line of standard input instead.\n";
constexpr const char *kSearchHelp =
    "Usage: quilletctl search TEXT [--json] [--password-stdin]\n"
    "Lists the cached items at any depth whose names contain TEXT, case ignored, in\n"
    "rows as list shows them.\n"
    "When the cache is locked by a password (Quillet's settings), asks for it on the terminal first;\n"
    "--password-stdin reads it from the first line of standard input instead.\n";

// After a start: waits a second so that a daemon that exits at once is caught, then names every
// volume left unprotected and every daemon that failed, with the reasons.
int reportFailures(ProtectionControl &control, std::ostream &err) {
    (void)control.confirmLaunches();
    for (const UnprotectedVolume &volume : control.unprotected())
        err << "quilletctl: not protected: " << volume.mountPoint << ": " << volume.why.message() << "\n";
    for (const std::string &failure : control.failures())
        err << "quilletctl: " << failure << "\n";
    return control.failures().empty() && control.unprotected().empty() ? kExitSuccess : kExitFailure;
}

// ---- status -------------------------------------------------------------------------------

int status(const Options &options, std::ostream &out, std::ostream &err) {
    if (!options.positional.empty() || !options.other.empty())
        return usageError(err, "status: unexpected argument", kStatusHelp);
    const ProtectionStatus now = ProtectionControl::forUser().status();
    const std::vector<UnprotectedVolume> &unprotected = now.unprotected;
    const NotArchivedSummary &notArchived = now.notArchived;
    if (options.json) {
        out << "{\"protection\": " << (now.running ? "true" : "false")
            << ", \"protectionDaemons\": " << now.daemons.protection
            << ", \"cacheManagerDaemons\": " << now.daemons.cacheManager
            << ", \"mountDaemons\": " << now.daemons.mountWatcher << ", \"cacheSize\": " << now.cacheBytes
            << ", \"cacheSizeText\": " << jsonString(now.cacheSizeText) << ", \"trashSize\": " << now.trashBytes
            << ", \"trashSizeText\": " << jsonString(now.trashSizeText) << ", \"unprotected\": [";
        for (size_t i = 0; i < unprotected.size(); ++i)
            out << (i ? ", " : "") << "{\"volume\": " << jsonString(unprotected[i].mountPoint)
                << ", \"reason\": " << jsonString(unprotected[i].why.message()) << "}";
        out << "], \"notArchivedLately\": {\"hours\": " << kNotArchivedLatelyHours
            << ", \"count\": " << notArchived.count << ", \"reasons\": {";
        bool first = true;
        for (const auto &[reason, count] : notArchived.byReason) {
            out << (first ? "" : ", ") << jsonString(reason) << ": " << count;
            first = false;
        }
        out << "}}}\n";
        return kExitSuccess;
    }
    out << "Protection: " << (now.running ? "on" : "off") << "\n";
    out << "Protection daemons: " << now.daemons.protection << "\n";
    out << "Cache manager daemons: " << now.daemons.cacheManager << "\n";
    out << "Mount daemons: " << now.daemons.mountWatcher << "\n";
    out << "Cache size: " << now.cacheSizeText << "\n";
    out << "Trash size: " << now.trashSizeText << "\n";
    for (const UnprotectedVolume &volume : unprotected)
        out << "Not protected: " << volume.mountPoint << ": " << volume.why.message() << "\n";
    if (notArchived.count > 0) {
        out << "Not archived in the last " << kNotArchivedLatelyHours << " hours: " << notArchived.count
            << (notArchived.count == 1 ? " item" : " items") << " (";
        bool first = true;
        for (const auto &[reason, count] : notArchived.byReason) {
            out << (first ? "" : "; ") << count << " " << reason;
            first = false;
        }
        out << "); quilletctl log shows which\n";
    }
    return kExitSuccess;
}

// ---- start / stop -------------------------------------------------------------------------

int start(const Options &options, std::ostream &out, std::ostream &err) {
    if (!options.positional.empty() || !options.other.empty() || options.json)
        return usageError(err, "start: unexpected argument", kStartHelp);
    ProtectionControl control = ProtectionControl::forUser();
    if (control.isRunning()) {
        out << "Protection is already running.\n";
        return kExitSuccess;
    }
    control.startProtection();
    int result = reportFailures(control, err);
    if (!control.refreshRunningState()) {
        err << "quilletctl: protection: no daemon is running after the start\n";
        return kExitFailure;
    }
    out << "Protection started.\n";
    return result;
}

int stop(const Options &options, std::ostream &out, std::ostream &err) {
    if (!options.positional.empty() || !options.other.empty() || options.json)
        return usageError(err, "stop: unexpected argument", kStopHelp);
    ProtectionControl control = ProtectionControl::forUser();
    if (!control.stopAndWait(std::chrono::seconds(5))) {
        err << "quilletctl: protection: daemons still running 5 seconds after the stop\n";
        return kExitFailure;
    }
    out << "Protection stopped.\n";
    return kExitSuccess;
}

// ---- settings -----------------------------------------------------------------------------

// The settings a user edits, those of the application's settings tab, in its order. The other
// keys of the domain are the programs' own ("Time of last daemon launch", "Daemons are running",
// "App_Prefs") or follow the password kept in the keyring ("App must ask for password"): they
// are neither shown nor set here.
constexpr const char *kUserSettings[] = {
    prefs::kSurveyHomeTrashOnly,      prefs::kKeepDataForDays,         prefs::kHowManyDaysToKeepData,
    prefs::kKeepDataForSizeMax,       prefs::kSizeMaxForCache,         prefs::kPercentageOfFreeDiskSpace,
    prefs::kModeOfCacheFileHandling,  prefs::kAppPrefsCheckUpdates,    prefs::kDisplayMenuExtra,
};

bool isUserSetting(const std::string &key) {
    return std::any_of(std::begin(kUserSettings), std::end(kUserSettings), [&](const char *name) { return key == name; });
}

// Why a key that is no user setting cannot be named; nothing for a user setting.
std::optional<std::string> notASetting(const std::string &key) {
    if (isUserSetting(key))
        return std::nullopt;
    if (key == prefs::kAppMustAskForPassword)
        return "\"" + key + "\" follows the password of the cache browser: switch it in Quillet's settings";
    if (key == prefs::kTimeOfLastDaemonLaunch || key == prefs::kDaemonsAreRunning || key == prefs::kAppPrefs)
        return "\"" + key + "\" is kept by Quillet itself, not a setting";
    return "unknown key \"" + key + "\"";
}

std::string displayValue(const PrefValue &value) {
    if (value.isDictionary()) {
        std::string text = "{";
        bool first = true;
        for (const auto &[key, inner] : value.dictionary()) {
            text += (first ? "" : ", ") + key + " = " + displayValue(inner);
            first = false;
        }
        return text + "}";
    }
    return value.stringValue();
}

// Values the domain file held that the mirror did not take, one "quilletctl: " line each.
void printWarnings(const SettingsMirror &mirror, std::ostream &err) {
    for (const std::string &warning : mirror.warnings())
        err << "quilletctl: " << warning << "\n";
}

int settings(const Options &options, std::ostream &out, std::ostream &err) {
    // settings takes no option, so a VALUE that starts with "-" without being an integer the
    // command line knows (-99999999999999999999, -abc) is still the VALUE, and its check says
    // what is wrong with it.
    std::vector<std::string> positional = options.positional;
    if (positional.size() == 1 && options.other.size() == 1 && !options.json)
        positional.push_back(options.other.front());
    else if (!options.other.empty() || options.json)
        return usageError(err, "settings: unknown option " + (options.other.empty() ? "--json" : options.other.front()),
                          kSettingsHelp);
    PreferencesDomain domain(kQuilletDomain);
    if (positional.empty()) {
        SettingsMirror mirror = SettingsMirror::loadWithStoredPasswordFlag(domain);
        printWarnings(mirror, err);
        for (const char *key : kUserSettings)
            if (auto value = mirror.value(key))
                out << key << " = " << displayValue(*value) << "\n";
        return kExitSuccess;
    }
    const std::string &key = positional[0];
    if (auto why = notASetting(key))
        return usageError(err, "settings: " + *why, kSettingsHelp);
    if (positional.size() == 1) {
        SettingsMirror mirror = SettingsMirror::loadWithStoredPasswordFlag(domain);
        printWarnings(mirror, err);
        if (auto value = mirror.value(key))
            out << displayValue(*value) << "\n";
        return kExitSuccess;
    }
    if (positional.size() != 2)
        return usageError(err, "settings: give KEY, or KEY and VALUE", kSettingsHelp);
    // The text as the user typed it is checked, so that the message shows it as typed and an
    // overflowing number is refused rather than clamped.
    if (auto problem = settingValueProblem(key, PrefValue(positional[1])))
        return usageError(err, "settings: " + *problem, kSettingsHelp);
    auto value = parseInteger(positional[1]);
    if (!value)
        return usageError(err, "settings: \"" + key + "\" needs an integer, not \"" + positional[1] + "\"",
                          kSettingsHelp);
    if (auto stored = domain.setValue(key, PrefValue(*value)); !stored) {
        err << "quilletctl: settings: " << stored.status().message() << "\n";
        return kExitFailure;
    }
    out << key << " = " << *value << "\n";

    // The daemons take their settings on the command line: they must be started again, with
    // the mirror read now that the value is stored.
    ProtectionControl control = ProtectionControl::forUser();
    if (!control.isRunning())
        return kExitSuccess;
    printWarnings(control.mirror(), err);
    if (!control.restart(std::chrono::seconds(5))) {
        err << "quilletctl: protection: daemons still running 5 seconds after the stop; not restarted\n";
        return kExitFailure;
    }
    int result = reportFailures(control, err);
    if (!control.refreshRunningState()) {
        err << "quilletctl: protection: no daemon is running after the restart\n";
        return kExitFailure;
    }
    out << "Protection restarted.\n";
    return result;
}

// ---- list / search ------------------------------------------------------------------------

std::string sizeColumn(const BrowserItem &item) { return item.size ? sizeText(*item.size) : std::string("-"); }

// Appends the row's line to text, and writes text out once it holds 64 KiB: a listing of a
// large cache is one write per chunk instead of a stream insertion per field. The caller
// writes what is left at the end. Columns: name, date, size, the folder the item was trashed
// from ("-" when unknown) and its path in the cache, names and paths escaped (escapedText).
void printRow(std::ostream &out, std::string &text, const BrowserItem &item, std::string_view indent,
              const std::optional<ItemOrigin> &origin) {
    text += indent;
    appendEscapedText(text, item.displayName());
    text += '\t';
    if (item.modificationDate)
        text += *item.modificationDate;
    text += '\t';
    text += sizeColumn(item);
    text += '\t';
    if (origin)
        appendEscapedText(text, sys::parentPath(origin->originalPath));
    else
        text += '-';
    text += '\t';
    appendEscapedText(text, item.pathToItem);
    text += '\n';
    if (text.size() >= (size_t{64} << 10)) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        text.clear();
    }
}

// The row as a JSON object, left open for the caller to add to and close.
std::string jsonItem(const BrowserItem &item, const std::optional<ItemOrigin> &origin) {
    std::string text = "{\"name\": " + jsonString(item.displayName()) + ", \"path\": " + jsonString(item.pathToItem);
    text += ", \"modificationDate\": " + (item.modificationDate ? jsonString(*item.modificationDate) : "null");
    text += ", \"size\": " + (item.size ? std::to_string(*item.size) : std::string("null"));
    text += std::string(", \"isDirectory\": ") + (item.isDirectory ? "true" : "false");
    text += ", \"originalPath\": " + (origin ? jsonString(origin->originalPath) : std::string("null"));
    text += ", \"deletionDate\": " +
            (origin && !origin->deletionDate.empty() ? jsonString(origin->deletionDate) : std::string("null"));
    return text;
}

int list(const Options &options, std::ostream &out, std::ostream &err) {
    bool flat = false;
    bool reverse = false;
    unsigned hours = 0;
    std::string sortKey{kItemNameSortKey};
    for (size_t i = 0; i < options.other.size(); ++i) {
        const std::string &arg = options.other[i];
        if (arg == "--flat") {
            flat = true;
        } else if (arg == "--reverse") {
            reverse = true;
        } else if (arg == "--hours" || arg == "--sort") {
            if (i + 1 >= options.other.size())
                return usageError(err, "list: " + arg + " needs a value", kListHelp);
            const std::string &value = options.other[++i];
            if (arg == "--hours") {
                auto number = parseInteger(value);
                if (!number || *number < 0 || *number > 1000000)
                    return usageError(err, "list: --hours needs a count of hours, not \"" + value + "\"", kListHelp);
                hours = static_cast<unsigned>(*number);
            } else if (value == "name") {
                sortKey = kItemNameSortKey;
            } else if (value == "date") {
                sortKey = kModifDateSortKey;
            } else if (value == "size") {
                sortKey = kItemSizeSortKey;
            } else {
                return usageError(err, "list: --sort takes name, date or size, not \"" + value + "\"", kListHelp);
            }
        } else {
            return usageError(err, "list: unknown argument \"" + arg + "\"", kListHelp);
        }
    }
    if (!options.positional.empty())
        return usageError(err, "list: unexpected argument \"" + options.positional.front() + "\"", kListHelp);

    const std::vector<std::string> caches = mountedCachesPaths();
    CacheTree tree(caches);
    tree.setViewMode(flat ? ViewMode::Flat : ViewMode::Day);
    tree.setAgeLimitHours(hours);
    // Setting the sort order refreshes the list, which builds the rows from the disk, sorted:
    // building them again would read the whole cache twice.
    tree.sortDescriptorsDidChange({SortDescriptor{sortKey, reverse ? SortOrder::Descending : SortOrder::Ascending}});
    // Shown once: taken, not copied.
    const std::vector<BrowserItem> rows = tree.takeRootListItems();
    OriginLookup origins(caches);
    std::string text;

    if (options.json)
        out << "[";
    bool firstRow = true;
    for (const BrowserItem &row : rows) {
        if (row.isEmpty())
            continue;
        std::vector<BrowserItem> children;
        if (!flat) {
            // The folder read once, its rows in listing order; entries gone since are left out.
            const RowSnapshot listed = tree.childrenWithAttributes(row);
            for (const BrowserItem &child : *listed)
                if (!child.isEmpty())
                    children.push_back(child);
        }
        const std::optional<ItemOrigin> rowOrigin = origins.originOf(row.pathToItem);
        if (options.json) {
            out << (firstRow ? "" : ",") << "\n  " << jsonItem(row, rowOrigin);
            if (!flat) {
                out << ", \"items\": [";
                bool firstChild = true;
                for (const BrowserItem &child : children) {
                    out << (firstChild ? "" : ", ") << jsonItem(child, origins.originOf(child.pathToItem)) << "}";
                    firstChild = false;
                }
                out << "]";
            }
            out << "}";
        } else {
            printRow(out, text, row, "", rowOrigin);
            for (const BrowserItem &child : children)
                printRow(out, text, child, "    ", origins.originOf(child.pathToItem));
        }
        firstRow = false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (options.json)
        out << (rows.empty() ? "]\n" : "\n]\n");
    return kExitSuccess;
}

int search(const Options &options, std::ostream &out, std::ostream &err) {
    if (!options.other.empty())
        return usageError(err, "search: unknown argument \"" + options.other.front() + "\"", kSearchHelp);
    if (options.positional.size() != 1 || options.positional.front().empty())
        return usageError(err, "search: give one non-empty TEXT", kSearchHelp);
    const std::vector<std::string> caches = mountedCachesPaths();
    std::vector<BrowserItem> hits;
    std::atomic<bool> stop{false};
    searchCaches(caches, options.positional.front(), stop, [&](BrowserItem &&item) { hits.push_back(std::move(item)); });
    OriginLookup origins(caches);
    if (options.json) {
        out << "[";
        for (size_t i = 0; i < hits.size(); ++i)
            out << (i ? "," : "") << "\n  " << jsonItem(hits[i], origins.originOf(hits[i].pathToItem)) << "}";
        out << (hits.empty() ? "]\n" : "\n]\n");
        return kExitSuccess;
    }
    std::string text;
    for (const BrowserItem &hit : hits)
        printRow(out, text, hit, "", origins.originOf(hit.pathToItem));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return kExitSuccess;
}

// ---- log ----------------------------------------------------------------------------------

int log(const Options &options, std::ostream &out, std::ostream &err) {
    size_t lines = 50;
    for (size_t i = 0; i < options.other.size(); ++i) {
        if (options.other[i] != "--lines" || i + 1 >= options.other.size())
            return usageError(err, "log: unexpected argument \"" + options.other[i] + "\"", kLogHelp);
        auto number = parseInteger(options.other[++i]);
        if (!number || *number < 1 || *number > 100000)
            return usageError(err, "log: --lines needs a count from 1 to 100000, not \"" + options.other[i] + "\"",
                              kLogHelp);
        lines = static_cast<size_t>(*number);
    }
    if (!options.positional.empty())
        return usageError(err, "log: unexpected argument \"" + options.positional.front() + "\"", kLogHelp);
    auto tail = DaemonControl::logTail(lines);
    if (!tail) {
        err << "quilletctl: " << tail.status().message() << "\n";
        return kExitFailure;
    }
    out << *tail;
    return kExitSuccess;
}

struct Command {
    const char *name;
    int (*function)(const Options &, std::ostream &, std::ostream &);
    const char *help;
    bool takesJson;
    /// It shows or touches cached items: the password lock applies (--password-stdin).
    bool locked;
};

const Command kCommands[] = {
    {"status", status, kStatusHelp, true, false},       {"start", start, kStartHelp, false, false},
    {"stop", stop, kStopHelp, false, false},             {"settings", settings, kSettingsHelp, false, false},
    {"list", list, kListHelp, true, true},               {"search", search, kSearchHelp, true, true},
    {"recover", recover, kRecoverHelp, false, true},     {"empty", empty, kEmptyHelp, false, true},
    {"log", log, kLogHelp, false, false},
    {"restore", restore, kRestoreHelp, false, true},
};

} // namespace

std::string jsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string json = "\"";
    json.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            if (size_t length = utf8SequenceLength(text, i)) {
                json.append(text, i, length);
                i += length;
            } else {
                json += "\\udc";
                json += kHex[u >> 4];
                json += kHex[u & 15];
                ++i;
            }
            continue;
        }
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\t': json += "\\t"; break;
        case '\r': json += "\\r"; break;
        default:
            if (u < 0x20) {
                json += "\\u00";
                json += kHex[u >> 4];
                json += kHex[u & 15];
            } else {
                json += c;
            }
        }
        ++i;
    }
    return json + "\"";
}

std::optional<std::string> surrogateEscapesDecoded(std::string_view text) {
    std::string bytes;
    bool found = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        // U+DC80..U+DCFF: ED B2 80 .. ED B3 BF.
        if (at(i) == 0xED && i + 2 < text.size() && (at(i + 1) == 0xB2 || at(i + 1) == 0xB3) && at(i + 2) >= 0x80 &&
            at(i + 2) <= 0xBF) {
            bytes += static_cast<char>(((at(i + 1) & 0x0F) << 6) | (at(i + 2) & 0x3F));
            i += 2;
            found = true;
        } else {
            bytes += text[i];
        }
    }
    if (!found)
        return std::nullopt;
    return bytes;
}

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, const Console &console) {
    if (args.empty())
        return usageError(err, "no command given", kUsage);
    if (isHelp(args.front())) {
        out << kUsage;
        return kExitSuccess;
    }
    for (const Command &command : kCommands) {
        if (args.front() != command.name)
            continue;
        Options options;
        options.console = console;
        bool afterDashes = false;
        for (size_t i = 1; i < args.size(); ++i) {
            const std::string &arg = args[i];
            if (afterDashes) {
                options.positional.push_back(arg);
            } else if (arg == "--") {
                afterDashes = true;
            } else if (isHelp(arg)) {
                options.help = true;
            } else if (arg == "--json" && command.takesJson) {
                options.json = true;
            } else if (arg == "--password-stdin" && command.locked) {
                options.passwordStdin = true;
            } else if (arg.size() > 1 && arg[0] == '-' && !parseInteger(arg)) {
                options.other.push_back(arg);
                // The value of an option that takes one is never mistaken for a positional.
                if ((arg == "--hours" || arg == "--sort" || arg == "--to" || arg == "--lines") && i + 1 < args.size())
                    options.other.push_back(args[++i]);
            } else {
                options.positional.push_back(arg);
            }
        }
        if (options.help) {
            out << command.help;
            return kExitSuccess;
        }
        // Before anything of the cache is read.
        if (command.locked)
            if (int locked = passwordLockCheck(options, err); locked != kExitSuccess)
                return locked;
        return command.function(options, out, err);
    }
    return usageError(err, "unknown command \"" + args.front() + "\"", kUsage);
}

} // namespace quillet::cli
