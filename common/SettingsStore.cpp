#include "SettingsStore.h"

#include "BinaryPlistCheck.h"
#include "platform/FileLock.h"
#include "platform/UserPaths.h"

#include <plist/plist.h>

#include <cerrno>
#include <climits>
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
// Property-list conversion

namespace {

struct PlistFree {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<PrefValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PrefValue::boolean(value != 0);
    }
    case PLIST_UINT: {
        // This libplist keeps every integer in 64 bits and reads "-5" as its two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PrefValue(static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PrefValue::real(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        return PrefValue(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_ARRAY: {
        PrefValue::Array items;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if (auto item = fromNode(plist_array_get_item(node, i)))
                items.push_back(std::move(*item));
        }
        return PrefValue(std::move(items));
    }
    case PLIST_DICT: {
        PrefValue::Dictionary entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!key)
                break;
            std::string name(key);
            std::free(key);
            if (auto value = fromNode(item))
                entries.emplace(std::move(name), std::move(*value));
        }
        std::free(it);
        return PrefValue(std::move(entries));
    }
    default:
        return std::nullopt;
    }
}

plist_t toNode(const PrefValue &value) {
    switch (value.kind()) {
    case PrefValue::Kind::Integer:
        return plist_new_uint(static_cast<uint64_t>(value.integerValue()));
    case PrefValue::Kind::Boolean:
        return plist_new_bool(value.boolValue() ? 1 : 0);
    case PrefValue::Kind::Real:
        return plist_new_real(value.realValue());
    case PrefValue::Kind::String:
        return plist_new_string(value.stringValue().c_str());
    case PrefValue::Kind::Array: {
        plist_t array = plist_new_array();
        for (const PrefValue &item : value.array())
            plist_array_append_item(array, toNode(item));
        return array;
    }
    case PrefValue::Kind::Dictionary: {
        plist_t dict = plist_new_dict();
        for (const auto &[key, item] : value.dictionary())
            plist_dict_set_item(dict, key.c_str(), toNode(item));
        return dict;
    }
    }
    return plist_new_uint(0);
}

/// How the domain file looked when read.
enum class FileState { Readable, Corrupt, Unreadable };

struct LoadedFile {
    FileState state = FileState::Readable;
    PlistPtr root;      // a dictionary when Readable
    sys::Status status; // why, when not Readable
};

/// Reads and parses the domain file. A missing or empty file is a readable empty dictionary.
LoadedFile loadFile(const std::string &path) {
    LoadedFile loaded;
    auto bytes = sys::readFile(path, kMaxDomainFileBytes);
    if (!bytes) {
        if (bytes.code() == ENOENT) {
            loaded.root.reset(plist_new_dict());
        } else {
            loaded.state = bytes.code() == EFBIG ? FileState::Corrupt : FileState::Unreadable;
            loaded.status = bytes.status();
        }
        return loaded;
    }
    const std::string &data = *bytes;
    if (data.empty()) {
        loaded.root.reset(plist_new_dict());
        return loaded;
    }
    plist_t root = nullptr;
    constexpr std::string_view kBinaryMagic = "bplist00";
    if (std::string_view(data).substr(0, kBinaryMagic.size()) == kBinaryMagic) {
        // libplist's binary parser trusts the file's offsets; check the structure first.
        bplist::CheckLimits limits;
        limits.maxBytes = kMaxDomainFileBytes;
        if (bplist::checkBinaryPlist(std::string_view(data), limits))
            plist_from_bin(data.data(), static_cast<uint32_t>(data.size()), &root);
    } else {
        plist_from_xml(data.data(), static_cast<uint32_t>(data.size()), &root);
    }
    loaded.root.reset(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        loaded.root.reset();
        loaded.state = FileState::Corrupt;
        loaded.status = sys::Status::failure(EBADMSG, "plist", path);
    }
    return loaded;
}

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

} // namespace

// ---------------------------------------------------------------------------------------------
// PreferencesDomain

PreferencesDomain::PreferencesDomain(std::string name) : PreferencesDomain(std::move(name), sys::configFolder()) {}

PreferencesDomain::PreferencesDomain(std::string name, const std::string &folder)
    : _name(std::move(name)), _path(sys::joinPath(folder, _name + ".plist")) {}

sys::Result<PrefValues> PreferencesDomain::read() const {
    LoadedFile loaded = loadFile(_path);
    if (loaded.state != FileState::Readable)
        return loaded.status;
    auto value = fromNode(loaded.root.get());
    if (!value)
        return PrefValues{};
    return value->dictionary();
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

    PreferencesDomain::WriteReport report;
    LoadedFile loaded = loadFile(path);
    switch (loaded.state) {
    case FileState::Readable:
        break;
    case FileState::Unreadable:
        // What cannot be read is not ours to replace.
        return loaded.status;
    case FileState::Corrupt: {
        auto aside = moveAside(path);
        if (!aside)
            return aside.status();
        report.corruptCopyPath = std::move(*aside);
        loaded.root.reset(plist_new_dict());
        break;
    }
    }

    change(loaded.root.get());

    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(loaded.root.get(), &xml, &length);
    if (!xml)
        return sys::Status::failure(ENOMEM, "plist_to_xml", path);
    std::string text(xml, length);
    plist_to_xml_free(xml);
    if (sys::Status written = sys::writeFileAtomically(path, text, 0600); !written)
        return written;
    return report;
}

} // namespace

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::setValues(const PrefValues &values) {
    return modifyDomain(*this, [&values](plist_t root) {
        for (const auto &[key, value] : values)
            plist_dict_set_item(root, key.c_str(), toNode(value));
    });
}

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::setValue(const std::string &key, const PrefValue &value) {
    return setValues(PrefValues{{key, value}});
}

sys::Result<PreferencesDomain::WriteReport> PreferencesDomain::removeKeys(const std::vector<std::string> &keys) {
    return modifyDomain(*this, [&keys](plist_t root) {
        for (const std::string &key : keys) {
            if (plist_dict_get_item(root, key.c_str()))
                plist_dict_remove_item(root, key.c_str());
        }
    });
}

// ---------------------------------------------------------------------------------------------
// SettingsMirror

SettingsMirror SettingsMirror::load(const PreferencesDomain &domain, bool passwordExists) {
    auto stored = domain.read();
    SettingsMirror mirror(stored ? std::move(*stored) : PrefValues{});
    mirror.initDefaultMirror(passwordExists);
    return mirror;
}

void SettingsMirror::initDefaultMirror(bool passwordExists) {
    for (const PrefDefault &entry : registeredDefaultList())
        _values.try_emplace(entry.key, entry.value);
    _values[prefs::kAppMustAskForPassword] = PrefValue(passwordExists ? 1 : 0);
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
