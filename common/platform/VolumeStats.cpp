#include "platform/VolumeStats.h"

#include "platform/System.h"

#include <cerrno>

namespace quillet {

uint64_t freePercentageOf(uint64_t freeBytes, uint64_t totalBytes) {
    if (freeBytes == 0 || totalBytes == 0)
        return 0;
    // 128-bit product: free × 100 would overflow 64 bits above 184 PB.
    __extension__ using Wide = unsigned __int128;
    return static_cast<uint64_t>(static_cast<Wide>(freeBytes) * 100 / totalBytes);
}

int sizeStatsOnDisk(const char *path, uint64_t *freeBytes, uint64_t *freePercentage, uint64_t *totalBytes) {
    if (!path || !freeBytes || !freePercentage || !totalBytes)
        return -1;
    auto figures = sys::volumeFigures(path);
    if (!figures)
        return figures.code() == ENOENT || figures.code() == ENOTDIR ? 0 : figures.code();
    *freeBytes = figures->freeBytes;
    *freePercentage = freePercentageOf(figures->freeBytes, figures->totalBytes);
    *totalBytes = figures->totalBytes;
    return 0;
}

} // namespace quillet
