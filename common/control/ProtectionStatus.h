#pragma once
// What the front ends show about protection, read at one moment (ProtectionControl::status):
// whether it runs, the daemons, the sizes of the caches and of the trash with their texts, the
// volumes a start would leave unprotected, and what the daemons did not archive lately.

#include "archive/CacheFolders.h"
#include "control/DaemonControl.h"
#include "archive/NotArchived.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

/// How far back the status counts the entries the daemons did not archive.
inline constexpr int64_t kNotArchivedLatelyHours = 24;

struct ProtectionStatus {
    /// Protection runs: any of the three daemons does.
    bool running = false;
    DaemonCounts daemons;
    /// Total size of the cache folders and of the trash folders, in bytes.
    uint64_t cacheBytes = 0;
    uint64_t trashBytes = 0;
    /// The sizes as shown: sizeText of the caches ("0B" when empty) and trashSizeText of the
    /// trash ("0" when empty).
    std::string cacheSizeText;
    std::string trashSizeText;
    /// The volumes a start with the current settings would leave unprotected, and why.
    std::vector<UnprotectedVolume> unprotected;
    /// The entries not archived in the last kNotArchivedLatelyHours hours, by reason.
    NotArchivedSummary notArchived;
};

} // namespace quillet
