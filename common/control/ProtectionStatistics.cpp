#include "control/ProtectionStatistics.h"

#include "support/ZRAppUtils.h"
#include "platform/System.h"

#include <charconv>

namespace quillet {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = kKiB * 1024;
constexpr uint64_t kGiB = kMiB * 1024;

// One decimal, rounded as "%1.1f" rounds, read back as a float and written again: a whole value
// prints without decimals ("2", not "2.0"). Written by to_chars, which no locale reaches: under a
// locale whose decimal point is "," printf would write "3,0" and the whole test and the
// caller's separator would both miss it.
std::string oneDecimal(double value, char decimalSeparator) {
    char buffer[64];
    auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    float rounded = 0;
    std::from_chars(buffer, written.ptr, rounded);
    written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(rounded), std::chars_format::fixed, 1);
    std::string text(buffer, written.ptr);
    if (text.ends_with(".0"))
        text.resize(text.size() - 2);
    for (char &c : text)
        if (c == '.')
            c = decimalSeparator;
    return text;
}

} // namespace

std::string sizeText(uint64_t bytes, char decimalSeparator) {
    if (bytes > kGiB)
        return oneDecimal(static_cast<double>(bytes + 2099) / static_cast<double>(kGiB), decimalSeparator) + "GB";
    if (bytes > kMiB)
        return oneDecimal(static_cast<double>(bytes + 1075) / static_cast<double>(kMiB), decimalSeparator) + "MB";
    if (bytes > kKiB)
        return oneDecimal(static_cast<double>(bytes + 51) / static_cast<double>(kKiB), decimalSeparator) + "KB";
    return std::to_string(bytes) + "B";
}

std::string trashSizeText(uint64_t bytes, char decimalSeparator) {
    return bytes == 0 ? "0" : sizeText(bytes, decimalSeparator);
}

uint64_t totalFolderSize(const std::vector<std::string> &folders) {
    uint64_t total = 0;
    ZRAppUtils utils;
    for (const std::string &folder : folders)
        total += utils.getFolderSize(folder);
    return total;
}

bool mustUpdateStats(const std::vector<std::string> &trashFolders, uint64_t *known) {
    uint64_t total = 0;
    for (const std::string &folder : trashFolders)
        if (auto count = sys::countDirectoryEntries(folder))
            total += *count;
    if (!known || total == *known)
        return false;
    *known = total;
    return true;
}

} // namespace quillet
