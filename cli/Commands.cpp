#include "Commands.h"
#include "CommandSupport.h"

#include "BrowserItem.h"
#include "CacheFolders.h"
#include "CacheSearch.h"
#include "CacheTree.h"
#include "DaemonControl.h"
#include "ProtectionControl.h"
#include "ProtectionStatistics.h"
#include "SettingsStore.h"
#include "platform/MountTable.h"
#include "platform/Process.h"
#include "platform/ProcessTable.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <ostream>

namespace quillet::cli {

// The daemons of this installation: ../libexec/quillet beside bin/quilletctl.
std::string daemonFolder() { return DaemonControl::defaultDaemonFolder(); }

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

SettingsMirror loadMirror(const PreferencesDomain &domain) {
    // The password flag is not ours to decide: keep what the application stored, when it is a
    // value the application could have stored (the mirror warns about any other).
    bool passwordExists = false;
    if (auto stored = domain.read(); stored) {
        auto it = stored.value().find(prefs::kAppMustAskForPassword);
        passwordExists = it != stored.value().end() && !settingValueProblem(it->first, it->second) &&
                         it->second.boolValue();
    }
    return SettingsMirror::load(domain, passwordExists);
}

std::vector<std::string> cachesPaths() {
    std::vector<std::string> caches;
    getCachesPaths(sys::mountedLocalVolumes(), caches);
    return caches;
}

namespace {

constexpr const char *kUsage =
    "Usage: quilletctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  status [--json]           Whether protection runs, the daemons, cache and trash sizes\n"
    "  start                     Start protection\n"
    "  stop                      Stop protection\n"
    "  settings [KEY VALUE]      Show all settings, or set one (restarts running protection)\n"
    "  list [--flat] [--hours N] [--sort name|date|size] [--reverse] [--json]\n"
    "                            The cached items: day rows with their items, or flat rows\n"
    "  search TEXT [--json]      Cached items whose names contain TEXT (case ignored)\n"
    "  recover ITEM... --to FOLDER\n"
    "                            Copy cached items (paths as list and search show them) into FOLDER\n"
    "  empty --all | ITEM... [--yes]\n"
    "                            Delete everything cached, or the items given, for good\n"
    "  log [--lines N]           The last messages of the daemons (50 lines unless given)\n"
    "\n"
    "Every command takes --help. Exit status: 0 success, 1 failure, 2 usage error.\n";

constexpr const char *kLogHelp =
    "Usage: quilletctl log [--lines N]\n"
    "Shows the last N lines (50 unless given, at most 100000) of what the daemons wrote, from\n"
    "$XDG_STATE_HOME/quillet/daemons.log (~/.local/state/quillet/daemons.log).\n";

constexpr const char *kStatusHelp = "Usage: quilletctl status [--json]\n"
                                    "Shows whether protection is on, the daemons running, and the cache and trash sizes.\n";
constexpr const char *kStartHelp = "Usage: quilletctl start\nStarts protection; does nothing when it already runs.\n";
constexpr const char *kStopHelp = "Usage: quilletctl stop\nStops protection, without confirmation.\n";
constexpr const char *kSettingsHelp =
    "Usage: quilletctl settings [KEY VALUE]\n"
    "Without arguments, shows every setting. With KEY and an integer VALUE, stores it; running\n"
    "protection is restarted so that the daemons use it. KEY is the setting's name as shown;\n"
    "a VALUE outside the setting's range is refused, and the message gives the range.\n";
constexpr const char *kListHelp =
    "Usage: quilletctl list [--flat] [--hours N] [--sort name|date|size] [--reverse] [--json]\n"
    "Lists the cached items: one row per day with its items indented, or with --flat one row per\n"
    "item. --hours N keeps the days of the last N hours (0: all).\n";
constexpr const char *kSearchHelp = "Usage: quilletctl search TEXT [--json]\n"
                                    "Lists the cached items at any depth whose names contain TEXT, case ignored.\n";

int countProcesses(const std::vector<sys::ProcessEntry> &table, const char *name) {
    int count = 0;
    for (const sys::ProcessEntry &entry : table)
        if (sys::matchesProgram(entry.command, name))
            ++count;
    return count;
}

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
    DaemonControl daemons(daemonFolder());
    const bool running = daemons.isDaemonRunning(ReportProblems::No);
    auto table = sys::readProcessTable();
    const int protection = countProcesses(table, kProtectionDaemonName);
    const int housekeeping = countProcesses(table, kCacheManagerDaemonName);
    const int mountWatcher = countProcesses(table, kMountDaemonName);
    auto volumes = sys::mountedLocalVolumes();
    std::vector<std::string> caches;
    std::vector<std::string> trashes;
    getCachesPaths(volumes, caches);
    getTrashedPaths(volumes, trashes);
    const uint64_t cacheBytes = totalFolderSize(caches);
    const uint64_t trashBytes = totalFolderSize(trashes);
    const std::vector<UnprotectedVolume> unprotected = ProtectionControl::unprotectedVolumes(loadMirror(PreferencesDomain(kQuilletDomain)));
    if (options.json) {
        out << "{\"protection\": " << (running ? "true" : "false") << ", \"protectionDaemons\": " << protection
            << ", \"cacheManagerDaemons\": " << housekeeping << ", \"mountDaemons\": " << mountWatcher
            << ", \"cacheSize\": " << cacheBytes << ", \"cacheSizeText\": " << jsonString(sizeText(cacheBytes))
            << ", \"trashSize\": " << trashBytes << ", \"trashSizeText\": " << jsonString(trashSizeText(trashBytes))
            << ", \"unprotected\": [";
        for (size_t i = 0; i < unprotected.size(); ++i)
            out << (i ? ", " : "") << "{\"volume\": " << jsonString(unprotected[i].mountPoint)
                << ", \"reason\": " << jsonString(unprotected[i].why.message()) << "}";
        out << "]}\n";
        return kExitSuccess;
    }
    out << "Protection: " << (running ? "on" : "off") << "\n";
    out << "Protection daemons: " << protection << "\n";
    out << "Cache manager daemons: " << housekeeping << "\n";
    out << "Mount daemons: " << mountWatcher << "\n";
    out << "Cache size: " << sizeText(cacheBytes) << "\n";
    out << "Trash size: " << trashSizeText(trashBytes) << "\n";
    for (const UnprotectedVolume &volume : unprotected)
        out << "Not protected: " << volume.mountPoint << ": " << volume.why.message() << "\n";
    return kExitSuccess;
}

// ---- start / stop -------------------------------------------------------------------------

int start(const Options &options, std::ostream &out, std::ostream &err) {
    if (!options.positional.empty() || !options.other.empty() || options.json)
        return usageError(err, "start: unexpected argument", kStartHelp);
    DaemonControl daemons(daemonFolder());
    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = loadMirror(domain);
    ProtectionControl control(daemons, domain, mirror);
    if (daemons.isDaemonRunning(ReportProblems::No)) {
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
    DaemonControl daemons(daemonFolder());
    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = loadMirror(domain);
    ProtectionControl control(daemons, domain, mirror);
    control.stopProtection();
    if (!daemons.waitUntilNoDaemonRuns()) {
        err << "quilletctl: protection: daemons still running 5 seconds after the stop\n";
        return kExitFailure;
    }
    out << "Protection stopped.\n";
    return kExitSuccess;
}

// ---- settings -----------------------------------------------------------------------------

// The keys a user may name: every key of the domain. Only "App_Prefs" cannot be set from here,
// and the check of the value says why.
std::vector<std::string> settableKeys() {
    std::vector<std::string> keys;
    for (const PrefDefault &entry : registeredDefaultList())
        keys.emplace_back(entry.key);
    keys.emplace_back(prefs::kAppMustAskForPassword);
    return keys;
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
        SettingsMirror mirror = loadMirror(domain);
        printWarnings(mirror, err);
        std::vector<std::string> order;
        for (const PrefDefault &entry : registeredDefaultList())
            order.emplace_back(entry.key);
        order.emplace_back(prefs::kAppMustAskForPassword);
        for (const auto &[key, value] : mirror.values())
            if (std::find(order.begin(), order.end(), key) == order.end())
                order.push_back(key);
        for (const std::string &key : order)
            if (auto value = mirror.value(key))
                out << key << " = " << displayValue(*value) << "\n";
        return kExitSuccess;
    }
    if (positional.size() != 2)
        return usageError(err, "settings: give both KEY and VALUE", kSettingsHelp);
    const std::string &key = positional[0];
    auto keys = settableKeys();
    if (std::find(keys.begin(), keys.end(), key) == keys.end())
        return usageError(err, "settings: unknown key \"" + key + "\"", kSettingsHelp);
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

    DaemonControl daemons(daemonFolder());
    if (!daemons.isDaemonRunning(ReportProblems::No))
        return kExitSuccess;
    // The daemons take their settings on the command line: they must be started again.
    SettingsMirror mirror = loadMirror(domain);
    printWarnings(mirror, err);
    ProtectionControl control(daemons, domain, mirror);
    control.stopProtection();
    if (!daemons.waitUntilNoDaemonRuns()) {
        err << "quilletctl: protection: daemons still running 5 seconds after the stop; not restarted\n";
        return kExitFailure;
    }
    control.startProtection();
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
// writes what is left at the end.
void printRow(std::ostream &out, std::string &text, const BrowserItem &item, std::string_view indent) {
    text += indent;
    text += item.displayName();
    text += '\t';
    if (item.modificationDate)
        text += *item.modificationDate;
    text += '\t';
    text += sizeColumn(item);
    text += '\t';
    text += item.pathToItem;
    text += '\n';
    if (text.size() >= (size_t{64} << 10)) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        text.clear();
    }
}

std::string jsonItem(const BrowserItem &item) {
    std::string text = "{\"name\": " + jsonString(std::string(item.displayName())) + ", \"path\": " + jsonString(item.pathToItem);
    text += ", \"modificationDate\": " + (item.modificationDate ? jsonString(*item.modificationDate) : "null");
    text += ", \"size\": " + (item.size ? std::to_string(*item.size) : std::string("null"));
    text += std::string(", \"isDirectory\": ") + (item.isDirectory ? "true" : "false");
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

    CacheTree tree(cachesPaths());
    tree.setViewMode(flat ? ViewMode::Flat : ViewMode::Day);
    tree.setAgeLimitHours(hours);
    // Setting the sort order refreshes the list, which builds the rows from the disk, sorted:
    // building them again would read the whole cache twice.
    tree.sortDescriptorsDidChange({SortDescriptor{sortKey, reverse ? SortOrder::Descending : SortOrder::Ascending}});
    // Shown once: taken, not copied.
    const std::vector<BrowserItem> rows = tree.takeRootListItems();
    std::string text;

    if (options.json)
        out << "[";
    bool firstRow = true;
    for (const BrowserItem &row : rows) {
        if (row.isEmpty())
            continue;
        std::vector<BrowserItem> children;
        if (!flat) {
            const size_t count = tree.numberOfChildren(&row);
            for (size_t i = 0; i < count; ++i)
                if (auto child = tree.child(&row, i); child && !child->isEmpty())
                    children.push_back(std::move(*child));
        }
        if (options.json) {
            out << (firstRow ? "" : ",") << "\n  " << jsonItem(row);
            if (!flat) {
                out << ", \"items\": [";
                bool firstChild = true;
                for (const BrowserItem &child : children) {
                    out << (firstChild ? "" : ", ") << jsonItem(child) << "}";
                    firstChild = false;
                }
                out << "]";
            }
            out << "}";
        } else {
            printRow(out, text, row, "");
            for (const BrowserItem &child : children)
                printRow(out, text, child, "    ");
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
    std::vector<BrowserItem> hits;
    std::atomic<bool> stop{false};
    searchCaches(cachesPaths(), options.positional.front(), stop,
                 [&](BrowserItem &&item) { hits.push_back(std::move(item)); });
    if (options.json) {
        out << "[";
        for (size_t i = 0; i < hits.size(); ++i)
            out << (i ? "," : "") << "\n  " << jsonItem(hits[i]) << "}";
        out << (hits.empty() ? "]\n" : "\n]\n");
        return kExitSuccess;
    }
    std::string text;
    for (const BrowserItem &hit : hits)
        printRow(out, text, hit, "");
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
};

const Command kCommands[] = {
    {"status", status, kStatusHelp, true},       {"start", start, kStartHelp, false},
    {"stop", stop, kStopHelp, false},             {"settings", settings, kSettingsHelp, false},
    {"list", list, kListHelp, true},              {"search", search, kSearchHelp, true},
    {"recover", recover, kRecoverHelp, false},    {"empty", empty, kEmptyHelp, false},
    {"log", log, kLogHelp, false},
};

} // namespace

namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when the bytes there are not one.
size_t utf8SequenceLength(const std::string &text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

} // namespace

std::string jsonString(const std::string &text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            // File names are bytes; JSON is Unicode. A byte that is not part of well-formed UTF-8
            // becomes U+FFFD so that the output stays valid (the path is then only indicative).
            if (size_t length = utf8SequenceLength(text, i)) {
                json.append(text, i, length);
                i += length;
            } else {
                json += "\\ufffd";
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
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(u));
                json += escaped;
            } else {
                json += c;
            }
        }
        ++i;
    }
    return json + "\"";
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
        return command.function(options, out, err);
    }
    return usageError(err, "unknown command \"" + args.front() + "\"", kUsage);
}

} // namespace quillet::cli
