#include "settings/PreferencesDomain.h"

#include "settings/SettingsFile.h"
#include "settings/SettingsStore.h"
#include "platform/FileLock.h"
#include "platform/UserPaths.h"

#include <cerrno>

namespace quillet {

namespace {

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
    if (sys::Status folder = sys::makeDirectories(sys::parentPath(path), 0700); !folder)
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

} // namespace quillet
