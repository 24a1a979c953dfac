#include "platform/MountTable.h"

#include "platform/UserPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <strings.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace quillet::sys {
namespace {

// mountinfo writes space, tab, newline and backslash as three octal digits after "\".
std::string unescapeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitSpaces(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > start)
            fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

bool isUnderFolder(std::string_view path, std::string_view folder) {
    if (folder == "/")
        return path.starts_with("/");
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string loginName() {
    if (struct passwd *entry = ::getpwuid(::getuid()))
        return entry->pw_name;
    return std::to_string(::getuid());
}


} // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> table;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::vector<std::string_view> fields = splitSpaces(text.substr(start, end - start));
        start = end + 1;
        // id parent major:minor root mount-point options [optional…] - type source super-options
        auto separator = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 7 || separator == fields.end() || separator - fields.begin() < 6 ||
            fields.end() - separator < 3)
            continue;
        MountEntry entry;
        entry.mountId = std::atoi(std::string(fields[0]).c_str());
        std::string_view device = fields[2];
        size_t colon = device.find(':');
        if (colon == std::string_view::npos)
            continue;
        entry.major = static_cast<unsigned>(std::strtoul(std::string(device.substr(0, colon)).c_str(), nullptr, 10));
        entry.minor = static_cast<unsigned>(std::strtoul(std::string(device.substr(colon + 1)).c_str(), nullptr, 10));
        entry.mountPoint = unescapeMountField(fields[4]);
        entry.fsType = unescapeMountField(separator[1]);
        entry.source = unescapeMountField(separator[2]);
        table.push_back(std::move(entry));
    }
    return table;
}

std::vector<MountEntry> readMountTable() {
    auto text = readFile("/proc/self/mountinfo", 64u << 20);
    if (!text)
        return {};
    return parseMountInfo(*text);
}

bool isPseudoFileSystem(std::string_view fsType) {
    static constexpr std::array<std::string_view, 24> kPseudo = {
        "proc",    "sysfs",      "cgroup",   "cgroup2",  "devtmpfs",  "devpts",     "securityfs", "pstore",
        "bpf",     "debugfs",    "tracefs",  "configfs", "fusectl",   "mqueue",     "hugetlbfs",  "binfmt_misc",
        "efivarfs", "rpc_pipefs", "nsfs",    "selinuxfs", "autofs",   "fuse.gvfsd-fuse", "fuse.portal", "nfsd"};
    return std::find(kPseudo.begin(), kPseudo.end(), fsType) != kPseudo.end();
}

bool isNetworkFileSystem(std::string_view fsType) {
    static constexpr std::array<std::string_view, 13> kNetwork = {
        "nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "ceph", "glusterfs", "fuse.glusterfs",
        "fuse.sshfs", "fuse.rclone", "davfs", "fuse.davfs"};
    return std::find(kNetwork.begin(), kNetwork.end(), fsType) != kNetwork.end();
}

std::optional<std::string> mountSourceHost(std::string_view source) {
    if (source.starts_with("//")) { // //host/share
        std::string_view rest = source.substr(2);
        size_t slash = rest.find('/');
        std::string_view host = rest.substr(0, slash);
        if (host.empty())
            return std::nullopt;
        return std::string(host);
    }
    if (source.starts_with("/"))
        return std::nullopt; // a device or a folder
    // [user@]host:path, where an IPv6 host is written in brackets.
    std::string_view rest = source;
    if (size_t at = rest.find('@'); at != std::string_view::npos && at < rest.find(':'))
        rest = rest.substr(at + 1);
    std::string_view host;
    if (rest.starts_with("[")) {
        size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        host = rest.substr(1, close - 1);
    } else {
        size_t colon = rest.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = rest.substr(0, colon);
    }
    if (host.empty())
        return std::nullopt;
    return std::string(host);
}

bool isServerMount(const MountEntry &mount) {
    if (!isNetworkFileSystem(mount.fsType))
        return false;
    auto host = mountSourceHost(mount.source);
    return host && ::strcasecmp(host->c_str(), "localhost") != 0;
}

std::optional<uint64_t> uniqueMountId(const std::string &path) {
    constexpr unsigned kUniqueMountIdMask = 0x4000; // STATX_MNT_ID_UNIQUE, newer than our headers
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kUniqueMountIdMask, &info) != 0)
        return std::nullopt;
    if (!(info.stx_mask & kUniqueMountIdMask))
        return std::nullopt;
    return static_cast<uint64_t>(info.stx_mnt_id);
}

bool isLoopDevice(unsigned major, unsigned minor) {
    // /sys/dev/block/M:m leads to the device's folder; a loop device has a "loop" folder in
    // it, and a partition of one has it in its parent.
    std::string device = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    return exists(device + "/loop") || exists(device + "/../loop");
}

bool isLoopBacked(const MountEntry &mount) {
    if (mount.source.starts_with("/dev/loop"))
        return true;
    return mount.major != 0 && isLoopDevice(mount.major, mount.minor);
}

std::vector<std::string> volumeRoots() {
    std::vector<std::string> roots;
    if (const char *custom = std::getenv("QUILLET_VOLUME_ROOTS"); custom && *custom) {
        std::string_view list(custom);
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string_view::npos)
                end = list.size();
            std::string root(list.substr(start, end - start));
            while (root.size() > 1 && root.back() == '/')
                root.pop_back();
            if (!root.empty())
                roots.push_back(root);
            start = end + 1;
        }
        return roots;
    }
    return {"/media", "/run/media/" + loginName(), "/mnt"};
}

std::optional<MountEntry> mountHolding(const std::string &path, const std::vector<MountEntry> &table) {
    const MountEntry *best = nullptr;
    for (const MountEntry &entry : table) {
        // A later mount on the same point hides the earlier one, hence ">=".
        if (isUnderFolder(path, entry.mountPoint) && (!best || entry.mountPoint.size() >= best->mountPoint.size()))
            best = &entry;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

std::optional<MountEntry> mountHolding(const std::string &path) { return mountHolding(canonicalPath(path), readMountTable()); }

std::vector<LocalVolume> mountedLocalVolumes(const std::vector<MountEntry> &table) {
    std::vector<LocalVolume> volumes;
    std::string home = canonicalPath(homeFolder());
    std::string homeMount = "/";
    if (auto holding = mountHolding(home, table))
        homeMount = holding->mountPoint;
    volumes.push_back({homeMount, true});

    std::vector<std::string> roots = volumeRoots();
    for (const MountEntry &entry : table) {
        if (isPseudoFileSystem(entry.fsType) || entry.mountPoint == homeMount)
            continue;
        bool underRoot = std::any_of(roots.begin(), roots.end(), [&](const std::string &root) {
            return isUnderFolder(entry.mountPoint, root) && entry.mountPoint != root;
        });
        if (!underRoot)
            continue;
        bool listed = std::any_of(volumes.begin(), volumes.end(),
                                  [&](const LocalVolume &volume) { return volume.mountPoint == entry.mountPoint; });
        if (!listed)
            volumes.push_back({entry.mountPoint, false});
    }
    return volumes;
}

std::vector<LocalVolume> mountedLocalVolumes() { return mountedLocalVolumes(readMountTable()); }

MountWatch::MountWatch() {
    auto fd = open("/proc/self/mountinfo", O_RDONLY);
    if (fd)
        _fd = std::move(*fd);
}

bool MountWatch::wait(int timeoutMillis, const sigset_t *waitMask) {
    struct timespec timeout = {timeoutMillis / 1000, (timeoutMillis % 1000) * 1000000L};
    struct timespec *limit = timeoutMillis < 0 ? nullptr : &timeout;
    if (!_fd.valid()) {
        ::ppoll(nullptr, 0, limit, waitMask);
        return false;
    }
    struct pollfd watched = {_fd.get(), POLLPRI, 0};
    int ready = ::ppoll(&watched, 1, limit, waitMask);
    if (ready <= 0)
        return false;
    // The change is acknowledged by reading the table through this descriptor again.
    char buffer[4096];
    ::lseek(_fd.get(), 0, SEEK_SET);
    while (::read(_fd.get(), buffer, sizeof buffer) > 0) {
    }
    return (watched.revents & (POLLPRI | POLLERR)) != 0;
}

} // namespace quillet::sys
