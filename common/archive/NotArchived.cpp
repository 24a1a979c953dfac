#include "archive/NotArchived.h"

#include "support/DateText.h"
#include "support/TextEscape.h"
#include "platform/System.h"
#include "platform/UserPaths.h"

#include <ctime>

namespace quillet {

namespace {

constexpr std::string_view kMarker = " quilletd: not archived (";
/// How much of the end of each log is read: the logs are kept near a megabyte.
constexpr uint64_t kReadBytes = 2 * 1024 * 1024;

/// The moment a "YYYY-MM-DDThh:mm:ss" local time stands for, or -1.
time_t parseLocalTime(std::string_view text) {
    auto fields = readDate(text, kLocalTimeLayout);
    return fields ? momentOf(*fields) : -1;
}

std::string logEnd(const std::string &path) {
    auto st = sys::stat(path, sys::FollowLinks::No);
    if (!st || !S_ISREG(st->st_mode))
        return {};
    const uint64_t size = static_cast<uint64_t>(st->st_size);
    auto text = sys::readFileFrom(path, size > kReadBytes ? size - kReadBytes : 0, kReadBytes);
    return text ? std::move(*text) : std::string();
}

} // namespace

std::string notArchivedLine(time_t when, std::string_view reason, std::string_view path) {
    auto fields = sys::localTime(when);
    const struct tm local = fields ? *fields : tm{};
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    return std::string(stamp) + std::string(kMarker) + std::string(reason) + "): " + escapedText(path) + "\n";
}

NotArchivedSummary summarizeNotArchived(std::string_view logText, time_t since) {
    NotArchivedSummary summary;
    while (!logText.empty()) {
        const size_t end = logText.find('\n');
        std::string_view line = logText.substr(0, end);
        logText.remove_prefix(end == std::string_view::npos ? logText.size() : end + 1);
        if (line.size() < 19 || line.substr(19, kMarker.size()) != kMarker)
            continue;
        const time_t when = parseLocalTime(line.substr(0, 19));
        if (when < 0 || when < since)
            continue;
        std::string_view rest = line.substr(19 + kMarker.size());
        const size_t close = rest.find("): ");
        if (close == std::string_view::npos || close == 0)
            continue;
        ++summary.count;
        ++summary.byReason[std::string(rest.substr(0, close))];
    }
    return summary;
}

NotArchivedSummary notArchivedSince(time_t since) {
    const std::string current = sys::daemonLogPath();
    NotArchivedSummary summary = summarizeNotArchived(logEnd(current + ".old"), since);
    for (auto &[reason, count] : summarizeNotArchived(logEnd(current), since).byReason) {
        summary.byReason[reason] += count;
        summary.count += count;
    }
    return summary;
}

} // namespace quillet
