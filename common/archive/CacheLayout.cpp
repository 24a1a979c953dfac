#include "archive/CacheLayout.h"

#include "support/DateText.h"
#include "platform/System.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace quillet {

std::string finderCompatibleDateDescription(time_t date) {
    auto local = sys::localTime(date);
    if (!local)
        return {};
    char buffer[64];
    size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M %z", &*local);
    std::string name(buffer, length);
    std::replace(name.begin(), name.end(), ':', '_');
    return name;
}

std::optional<time_t> dateFromFinderCompatibleDateDescription(std::string_view name) {
    // "YYYY-MM-DD HH_MM ±hhmm": the date-folder name with ":" written as "_". Every character
    // is checked, so the index and marker files, and anything a user may have put in the cache
    // folder, never read as dates.
    auto fields = readDate(name, kDateFolderLayout);
    return fields ? std::optional<time_t>(momentOf(*fields)) : std::nullopt;
}

bool hasHiddenPrefix(std::string_view name) { return name.starts_with(kHiddenPrefix); }

std::string setFileName(std::string_view name, Visibility visibleInFinder) {
    if (visibleInFinder == Visibility::Visible)
        return std::string(hasHiddenPrefix(name) ? name.substr(kHiddenPrefix.size()) : name);
    std::string hidden(kHiddenPrefix);
    hidden += name;
    return hidden;
}

std::optional<std::string> storedNameOf(std::string_view name) {
    if (name.size() + kHiddenPrefix.size() <= kMaxNameBytes)
        return setFileName(name, Visibility::Hidden);
    if (hasHiddenPrefix(name))
        return std::nullopt;
    return std::string(name);
}

std::string indexHiddenName(std::string_view name) {
    return hasHiddenPrefix(name) ? std::string(name) : setFileName(name, Visibility::Hidden);
}

bool isInternalName(std::string_view name) { return name.starts_with(kInternalPrefix); }

namespace {

/// Where a visible name's extension begins (its last dot), or npos when it has none.
size_t extensionDot(std::string_view visible) {
    const size_t dot = visible.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == visible.size())
        return std::string_view::npos;
    return dot;
}

/// Length of a "-<n>" suffix (n from 1, without leading zero) ending text, 0 when there is none.
size_t numberSuffixLength(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits])))
        ++digits;
    if (digits == 0 || digits + 1 >= text.size() || text[text.size() - 1 - digits] != '-' ||
        text[text.size() - digits] == '0' || digits > 6)
        return 0;
    return digits + 1;
}

} // namespace

std::string numberedName(std::string_view storedName, unsigned n, bool isFolder) {
    if (n == 0)
        return std::string(storedName);
    const std::string_view prefix = hasHiddenPrefix(storedName) ? kHiddenPrefix : std::string_view();
    const std::string_view visible = storedName.substr(prefix.size());
    const std::string number = "-" + std::to_string(n);
    const size_t dot = isFolder ? std::string_view::npos : extensionDot(visible);
    if (dot == std::string_view::npos)
        return std::string(storedName) + number;
    return std::string(prefix) + std::string(visible.substr(0, dot)) + number + std::string(visible.substr(dot));
}

std::vector<std::string> unnumberedNames(std::string_view storedName) {
    const std::string_view prefix = hasHiddenPrefix(storedName) ? kHiddenPrefix : std::string_view();
    const std::string_view visible = storedName.substr(prefix.size());
    std::vector<std::string> names;
    // A folder's number, or a file's without an extension, ends the name.
    if (size_t length = numberSuffixLength(visible))
        names.push_back(std::string(prefix) + std::string(visible.substr(0, visible.size() - length)));
    // A file's number comes before its extension.
    const size_t dot = extensionDot(visible);
    if (dot != std::string_view::npos) {
        if (size_t length = numberSuffixLength(visible.substr(0, dot)))
            names.push_back(std::string(prefix) + std::string(visible.substr(0, dot - length)) +
                            std::string(visible.substr(dot)));
    }
    return names;
}

} // namespace quillet
