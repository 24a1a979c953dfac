#pragma once
// The figures the front ends show about protection: sizes as text, the trash and cache
// totals, and the cheap change test run every second.

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

/// A byte count with one decimal and a unit: above 1 GiB "(S + 2099) / 2^30" GB, above 1 MiB
/// "(S + 1075) / 2^20" MB, above 1 KiB "(S + 51) / 2^10" KB, each rounded to one decimal and
/// printed without decimals when whole ("3GB", "1.5KB"); otherwise the count and "B" ("1024B").
/// decimalSeparator is the user's.
std::string sizeText(uint64_t bytes, char decimalSeparator = '.');
/// The trash total as shown: exactly nothing shows "0", without a unit.
std::string trashSizeText(uint64_t bytes, char decimalSeparator = '.');

/// Sum of the folder sizes of the folders (the trash folders, or the cache folders).
uint64_t totalFolderSize(const std::vector<std::string> &folders);
/// Adds up the entries directly inside each trash folder (hidden ones included); when the
/// total differs from *known, stores it there and answers true.
bool mustUpdateStats(const std::vector<std::string> &trashFolders, uint64_t *known);

} // namespace quillet
