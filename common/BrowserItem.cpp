#include "BrowserItem.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>

#include "CacheLayout.h"
#include "ZRAppUtils.h"
#include "platform/System.h"

namespace quillet {

std::string_view BrowserItem::displayName() const {
    if (itemRepresentationName)
        return *itemRepresentationName;
    if (itemName)
        return *itemName;
    return {};
}

std::string modificationDateDescription(time_t date) {
    struct tm local {};
    localtime_r(&date, &local);
    char text[64];
    size_t length = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return std::string(text, length);
}

std::optional<time_t> dateFromModificationDescription(std::string_view text) {
    // "2008-03-14 15:42:07 +0100": 25 characters, the offset as sign, hours and minutes.
    if (text.size() != 25)
        return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, offsetHours = 0, offsetMinutes = 0;
    char sign = 0;
    char buffer[26];
    std::copy(text.begin(), text.end(), buffer);
    buffer[25] = 0;
    int consumed = 0;
    if (sscanf(buffer, "%4d-%2d-%2d %2d:%2d:%2d %c%2d%2d%n", &year, &month, &day, &hour, &minute, &second, &sign,
               &offsetHours, &offsetMinutes, &consumed) != 9 ||
        consumed != 25 || (sign != '+' && sign != '-'))
        return std::nullopt;
    long offset = (offsetHours * 3600L + offsetMinutes * 60L) * (sign == '-' ? -1 : 1);
    return momentOf(year, month, day, hour, minute, second, offset);
}

namespace {

void setModification(BrowserItem &item, const struct stat &st) {
    item.modificationTime = st.st_mtim.tv_sec;
    item.modificationDate = modificationDateDescription(st.st_mtim.tv_sec);
}

} // namespace

BrowserItem makeDayRow(const std::string &cachePath, std::string_view name, const struct stat &st,
                       FolderSize folderSize) {
    BrowserItem item;
    item.pathToItem = sys::joinPath(cachePath, name);
    if (auto date = dateFromFinderCompatibleDateDescription(name)) {
        std::string title = finderCompatibleDateDescription(*date);
        std::replace(title.begin(), title.end(), '_', ':');
        item.itemName = title;
        item.itemRepresentationName = std::move(title);
    } else {
        item.itemRepresentationName = std::string(name);
    }
    setModification(item, st);
    if (folderSize == FolderSize::Measure)
        item.size = ZRAppUtils().getFolderSize(item.pathToItem);
    item.isDirectory = true;
    return item;
}

BrowserItem makeEntryRow(const std::string &folderPath, std::string_view name, const struct stat &st,
                         RowOrigin origin) {
    BrowserItem item;
    item.pathToItem = sys::joinPath(folderPath, name);
    std::string visible = setFileName(name, Visibility::Visible);
    if (origin == RowOrigin::SearchResult) {
        item.itemName = std::string(name);
        item.itemRepresentationName = std::move(visible);
    } else {
        item.itemName = visible;
        item.itemRepresentationName = std::move(visible);
    }
    setModification(item, st);
    bool folder = S_ISDIR(st.st_mode);
    // A child row shows the entry's own size; the other rows show what an item weighs, which
    // for a folder means walking it. Resource forks do not exist here, so a file's size is its
    // data size alone.
    if (folder && origin != RowOrigin::ChildRow)
        item.size = ZRAppUtils().getFolderSize(item.pathToItem);
    else
        item.size = static_cast<uint64_t>(st.st_size);
    item.isDirectory = folder && ZRAppUtils().isTrueFolder(item.pathToItem);
    return item;
}

std::optional<BrowserItem> makeEntryRow(int folderFd, const std::string &folderPath, std::string_view name,
                                        RowOrigin origin) {
    auto st = sys::statAt(folderFd, std::string(name), sys::FollowLinks::No);
    if (!st)
        return std::nullopt;
    return makeEntryRow(folderPath, name, *st, origin);
}

BrowserItem makeChildRow(const std::string &parentPath, size_t index) {
    auto folder = sys::openDirectory(parentPath);
    if (!folder)
        return {};
    return makeChildRow(folder->get(), parentPath, index);
}

BrowserItem makeChildRow(int folderFd, const std::string &parentPath, size_t index) {
    std::string name;
    size_t position = 0;
    (void)sys::forEachEntry(folderFd, [&](std::string_view entry, unsigned char) {
        if (isInternalName(entry))
            return true; // the system's own work, no item: it takes no position
        if (position++ == index) {
            name = entry;
            return false;
        }
        return true;
    });
    if (name.empty())
        return {};
    auto row = makeEntryRow(folderFd, parentPath, name, RowOrigin::ChildRow);
    return row ? std::move(*row) : BrowserItem{};
}

SelectionSummary summarizeSelection(size_t selectedRows, uint64_t totalBytes) {
    SelectionSummary summary;
    summary.count = static_cast<int32_t>(selectedRows);
    if (totalBytes > 2097151) {
        summary.amount = static_cast<int32_t>((totalBytes + 512) >> 20);
        summary.unit = "MB";
    } else if (totalBytes > 2047) {
        summary.amount = static_cast<int32_t>((totalBytes + 512) >> 10);
        summary.unit = "KB";
    } else {
        summary.amount = static_cast<int32_t>(totalBytes);
        summary.unit = "B";
    }
    return summary;
}

} // namespace quillet
