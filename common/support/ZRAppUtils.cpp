#include "support/ZRAppUtils.h"

#include "support/PLXFilesUtils.h"
#include "platform/FolderSize.h"
#include "platform/MountTable.h"
#include "platform/System.h"
#include "platform/UserPaths.h"
#include "platform/VolumeStats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace quillet {
namespace {

constexpr size_t kMaxDesktopFileBytes = 1 << 20;

std::string autostartFolder() { return sys::configFolder() + "/autostart"; }

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string extensionOf(const std::string &path) {
    std::string name = sys::lastPathComponent(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

// The value of key in the [Desktop Entry] group of a .desktop file's text.
std::string desktopEntryValue(const std::string &text, std::string_view key) {
    bool inEntry = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.starts_with("[")) {
            inEntry = line.starts_with("[Desktop Entry]");
            continue;
        }
        if (!inEntry || !line.starts_with(key))
            continue;
        std::string_view rest = line.substr(key.size());
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        if (rest.empty() || rest.front() != '=')
            continue;
        rest.remove_prefix(1);
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        return std::string(rest);
    }
    return {};
}

// The program an Exec line starts: the first argument, unquoted.
std::string execProgram(const std::string &exec) {
    if (exec.empty())
        return {};
    if (exec.front() != '"')
        return exec.substr(0, exec.find(' '));
    std::string program;
    for (size_t i = 1; i < exec.size(); ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size()) {
            program += exec[++i];
        } else if (exec[i] == '"') {
            break;
        } else {
            program += exec[i];
        }
    }
    return program;
}

// The program path as an Exec line holds it, quoted when it needs to be.
std::string execQuoted(const std::string &program) {
    bool plain = std::all_of(program.begin(), program.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
    });
    if (plain)
        return program;
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Path of the autostart entry whose Exec names the program, or "".
std::string findLoginItem(const std::string &program) {
    auto entries = sys::listDirectory(autostartFolder());
    if (!entries)
        return {};
    for (const sys::DirEntry &entry : *entries) {
        if (!entry.name.ends_with(".desktop"))
            continue;
        std::string path = autostartFolder() + "/" + entry.name;
        auto text = sys::readFile(path, kMaxDesktopFileBytes);
        if (text && execProgram(desktopEntryValue(*text, "Exec")) == program)
            return path;
    }
    return {};
}

std::string selfExecutable() {
    std::string path = sys::canonicalPath("/proc/self/exe");
    return path == "/proc/self/exe" ? std::string() : path;
}

} // namespace

std::string applicationIdentifier(const std::string &appBundlePath) {
    std::string name = sys::lastPathComponent(appBundlePath);
    if (name == "Quillet" || name == "QuilletMenuExtra")
        return "com.plx." + name;
    return name;
}

void ZRAppUtils::setMyAppInLoginItems(bool enable) { setAnAppInLoginItems(enable, selfExecutable()); }

void ZRAppUtils::setAnAppInLoginItems(bool enable, const std::string &appBundlePath) {
    if (appBundlePath.empty() || !sys::exists(appBundlePath))
        return;
    std::string existing = findLoginItem(appBundlePath);
    if (enable && existing.empty()) {
        std::string folder = autostartFolder();
        if (!sys::exists(folder)) {
            (void)sys::mkdir(sys::configFolder(), 0700);
            (void)sys::mkdir(folder, 0700);
        }
        std::string entry = "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=" + sys::lastPathComponent(appBundlePath) + "\n"
                            "Exec=" + execQuoted(appBundlePath) + "\n"
                            "Hidden=false\n"
                            "X-GNOME-Autostart-enabled=true\n";
        (void)sys::writeFileAtomically(folder + "/" + applicationIdentifier(appBundlePath) + ".desktop", entry, 0644);
    } else if (!enable && !existing.empty()) {
        (void)sys::unlink(existing);
    }
}

bool ZRAppUtils::isInLoginItems(const std::string &appBundlePath) { return !findLoginItem(appBundlePath).empty(); }

int ZRAppUtils::packSystemVersion(const std::string &release) {
    std::array<int, 3> parts = {0, 0, 0};
    size_t position = 0;
    for (int &part : parts) {
        if (position >= release.size() || !std::isdigit(static_cast<unsigned char>(release[position])))
            break;
        long value = 0;
        while (position < release.size() && std::isdigit(static_cast<unsigned char>(release[position]))) {
            value = std::min(value * 10 + (release[position] - '0'), 255L);
            ++position;
        }
        part = static_cast<int>(value);
        if (position >= release.size() || release[position] != '.')
            break;
        ++position;
    }
    return parts[0] * 0x10000 + parts[1] * 0x100 + parts[2];
}

int ZRAppUtils::getSystemVersion() {
    auto release = sys::kernelRelease();
    return release ? packSystemVersion(*release) : 0;
}

bool ZRAppUtils::isApplication(const std::string &path) {
    if (path.empty())
        return false;
    std::string extension = extensionOf(path);
    if (extension == "app")
        return true;
    auto st = sys::stat(path, sys::FollowLinks::Yes);
    if (!st || !S_ISREG(st->st_mode))
        return false;
    if (extension == "AppImage")
        return true;
    if (extension == "desktop") {
        auto text = sys::readFile(path, kMaxDesktopFileBytes);
        return text && desktopEntryValue(*text, "Type") == "Application";
    }
    return false;
}

bool ZRAppUtils::isTrueFolder(const std::string &path) {
    auto st = sys::stat(path, sys::FollowLinks::Yes);
    if (!st || !S_ISDIR(st->st_mode))
        return false;
    return !isPackageFolderName(path);
}

bool ZRAppUtils::isPackageFolderName(const std::string &name) {
    // Of a folder, isApplication looks at the ".app" extension alone.
    if (extensionOf(name) == "app")
        return true;
    static constexpr std::array<std::string_view, 11> kPackageExtensions = {
        "rtfd", "webloc", "nib", "pkg", "bundle", "menu", "download", "pages", "page", "keynote", "xcode"};
    std::string extension = lowercase(extensionOf(name));
    // Linux has no file packages: the extension list is the whole package test.
    return std::find(kPackageExtensions.begin(), kPackageExtensions.end(), extension) != kPackageExtensions.end();
}

bool ZRAppUtils::isDMGAtPath(const std::string &path) {
    std::string resolved;
    if (!PLXFilesUtils::getFSRef(&resolved, path))
        return false;
    auto mount = sys::mountHolding(resolved, sys::readMountTable());
    return mount && sys::isLoopBacked(*mount);
}

bool ZRAppUtils::isServerAtPath(const std::string &path, bool *isMounted) {
    auto st = sys::stat(path, sys::FollowLinks::Yes);
    if (!st || !S_ISDIR(st->st_mode))
        return false;
    if (isMounted)
        *isMounted = true;
    return PLXFilesUtils::isVolumeServer(path);
}

uint64_t ZRAppUtils::getFolderSize(const std::string &path) {
    if (sys::isVolumeRoot(path)) {
        uint64_t freeBytes = 0, percentage = 0, total = 0;
        if (sizeStatsOnDisk(path.c_str(), &freeBytes, &percentage, &total) != 0)
            return 0;
        return total;
    }
    return sys::folderTreeDataSize(path);
}

uint64_t getFolderSizeForPath(const char *path) { return path ? ZRAppUtils().getFolderSize(path) : 0; }

} // namespace quillet
