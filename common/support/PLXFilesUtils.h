#pragma once
// File and volume questions of the file managers' kind.

#include <string>

namespace quillet {

class PLXFilesUtils {
public:
    /// Stand-in for a file-system reference: true when the path names an existing item (links
    /// followed); the resolved absolute path is stored in *reference when given.
    static bool getFSRef(std::string *reference, const std::string &path);
    /// True when path lies on a volume mounted from another host: a network file system whose
    /// mount source names a host other than "localhost" (any case).
    static bool isVolumeServer(const std::string &path);
};

} // namespace quillet
