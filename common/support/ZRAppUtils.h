#pragma once
// Questions about the running system and the file system that several programs ask: login
// items, the system version, true folders and applications, disk images and server volumes,
// and folder sizes. Stateless; safe to use from any thread.

#include <cstdint>
#include <string>

namespace quillet {

class ZRAppUtils {
public:
    /// Adds (enable) or removes the running program in the user's login items.
    void setMyAppInLoginItems(bool enable);
    /// Adds or removes the program at appBundlePath in the user's login items: one XDG
    /// autostart entry, "<identifier>.desktop" in $XDG_CONFIG_HOME/autostart, whose Exec names
    /// the program. Nothing is written when the entry is already as asked, nor when the
    /// program does not exist (not even a removal).
    void setAnAppInLoginItems(bool enable, const std::string &appBundlePath);
    /// True when an autostart entry names the program at path.
    bool isInLoginItems(const std::string &appBundlePath);

    /// The kernel release packed as major × 0x10000 + minor × 0x100 + patch (each at most
    /// 255); 0 when it cannot be read.
    int getSystemVersion();
    static int packSystemVersion(const std::string &release);

    /// A folder that is neither an application nor a document package.
    bool isTrueFolder(const std::string &path);
    /// The name of a folder that is an application or a document package (by its extension
    /// alone): what isTrueFolder refuses of a path known to be a folder.
    static bool isPackageFolderName(const std::string &name);
    /// A path ending in ".app" (case-sensitive), a .desktop file of Type=Application, or an
    /// .AppImage file.
    bool isApplication(const std::string &path);
    /// The volume holding path lives in an image file (loop device).
    bool isDMGAtPath(const std::string &path);
    /// path is a folder on a network volume. *isMounted (when given) is set to true when path
    /// resolves to a folder and left alone otherwise.
    bool isServerAtPath(const std::string &path, bool *isMounted);
    /// Data size of the tree below path; a volume root gives the volume's capacity; a file or
    /// a missing path 0.
    uint64_t getFolderSize(const std::string &path);
};

/// getFolderSize for a UTF-8 path, as the C callers use it.
uint64_t getFolderSizeForPath(const char *path);

/// The identifier an autostart entry is named after: "com.plx.<name>" for this system's own
/// programs, the file name otherwise.
std::string applicationIdentifier(const std::string &appBundlePath);

} // namespace quillet
