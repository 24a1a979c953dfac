#pragma once
// The kernel's mount table (/proc/self/mountinfo): which local volumes are mounted, which
// mount holds a path, and when the table changes.

#include "platform/System.h"

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::sys {

struct MountEntry {
    int mountId = 0;
    unsigned major = 0;       ///< device numbers of the mounted file system
    unsigned minor = 0;
    std::string mountPoint;   ///< unescaped ("\040" is a space)
    std::string fsType;
    std::string source;       ///< "/dev/sda1", "nas:/export", "//host/share", "tmpfs"…
};

/// Parses the text of a mountinfo file; malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);
/// The current mount table, in mount order.
std::vector<MountEntry> readMountTable();

/// True for kernel pseudo file systems (proc, sysfs, cgroup, devtmpfs, …), which are never
/// volumes.
bool isPseudoFileSystem(std::string_view fsType);
/// True for network file systems (nfs, cifs, sshfs, …).
bool isNetworkFileSystem(std::string_view fsType);
/// The host a network mount source names ("nas:/export", "user@nas:path", "//nas/share"), or
/// nothing for a local source.
std::optional<std::string> mountSourceHost(std::string_view source);

/// The kernel's never-reused identifier of the mount visible at path (Linux 6.8 and later),
/// unlike mountinfo's ids, which are handed out again as soon as a mount goes. Nothing where
/// the kernel cannot tell.
std::optional<uint64_t> uniqueMountId(const std::string &path);

/// True when the block device major:minor is a loop device or a partition of one (a volume
/// that lives in an image file).
bool isLoopDevice(unsigned major, unsigned minor);
/// True when the mount's file system lives in an image file.
bool isLoopBacked(const MountEntry &mount);

/// True when the mount comes from another host: a network file system whose source names a
/// host other than "localhost" (in any case).
bool isServerMount(const MountEntry &mount);

/// Folders under which removable and extra volumes are mounted: the colon-separated list in
/// QUILLET_VOLUME_ROOTS, else /media, /run/media/<user> and /mnt.
std::vector<std::string> volumeRoots();

struct LocalVolume {
    std::string mountPoint;
    /// The volume holding the home folder: it stands for the home trash and the home cache.
    bool isHomeVolume = false;
};
/// Mounted local volumes: the home volume first, then every mount point under a volume root,
/// in mount-table order. Pseudo file systems and autofs mounts never count.
std::vector<LocalVolume> mountedLocalVolumes(const std::vector<MountEntry> &table);
std::vector<LocalVolume> mountedLocalVolumes();

/// The mount that holds path: the longest mount point that is a prefix of it (whole
/// components). Nothing when the table is empty.
std::optional<MountEntry> mountHolding(const std::string &path, const std::vector<MountEntry> &table);
std::optional<MountEntry> mountHolding(const std::string &path);

/// Wakes when the mount table changes (the kernel flags /proc/self/mountinfo with POLLPRI).
class MountWatch {
public:
    MountWatch();
    bool active() const { return _fd.valid(); }
    /// Waits up to timeoutMillis (-1: no limit) with waitMask in force; true when the table
    /// changed, false on time-out or when a signal arrived.
    bool wait(int timeoutMillis, const sigset_t *waitMask);

private:
    Fd _fd;
};

} // namespace quillet::sys
