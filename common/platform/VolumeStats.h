#pragma once
// Figures of the volume that holds a path.

#include <cstdint>

namespace quillet {

/// Free bytes (available to the user), free percentage (free × 100 / total, truncated; 0 when
/// either figure is 0) and total bytes of the volume holding path. Returns 0 on success, -1
/// when an output pointer is null, 0 without touching the outputs when the path does not
/// exist, and the errno of statvfs for any other failure.
int sizeStatsOnDisk(const char *path, uint64_t *freeBytes, uint64_t *freePercentage, uint64_t *totalBytes);

/// The free percentage for the figures, in 64-bit unsigned arithmetic.
uint64_t freePercentageOf(uint64_t freeBytes, uint64_t totalBytes);

} // namespace quillet
