#include "archive/TrashInfo.h"

#include <fcntl.h>

#include <cctype>

namespace quillet {
namespace {

constexpr std::string_view kTrashInfoGroup = "[Trash Info]";
constexpr std::string_view kPathKey = "Path=";
constexpr std::string_view kDeletionDateKey = "DeletionDate=";
/// What a header may not hold as it is.
constexpr std::string_view kHeaderSpecials = "%[]";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/// Calls line for each line of text, without its end of line (and a carriage return before it).
template <typename Line>
void forEachLine(std::string_view text, Line line) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view one = text.substr(0, end);
        if (!one.empty() && one.back() == '\r')
            one.remove_suffix(1);
        line(one);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

} // namespace

std::string percentEncode(std::string_view bytes, std::string_view alsoEncode) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7e || alsoEncode.find(c) != std::string_view::npos) {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::optional<TrashInfo> parseTrashInfo(std::string_view text) {
    TrashInfo info;
    bool inGroup = false;
    bool hasPath = false;
    forEachLine(text, [&](std::string_view line) {
        if (line.starts_with('[')) {
            inGroup = line == kTrashInfoGroup;
            return;
        }
        if (!inGroup)
            return;
        if (line.starts_with(kPathKey) && !hasPath) {
            info.path = std::string(line.substr(kPathKey.size()));
            hasPath = !info.path.empty();
        } else if (line.starts_with(kDeletionDateKey) && info.deletionDate.empty()) {
            info.deletionDate = std::string(line.substr(kDeletionDateKey.size()));
        }
    });
    if (!hasPath)
        return std::nullopt;
    return info;
}

std::string formatTrashInfoStore(const TrashInfoStore &store) {
    std::string text;
    for (const auto &[storedName, info] : store) {
        text += '[';
        text += percentEncode(storedName, kHeaderSpecials);
        text += "]\n";
        text += kPathKey;
        text += percentEncode(info.path, ""); // already encoded by the client; nothing may break a line
        text += '\n';
        if (!info.deletionDate.empty()) {
            text += kDeletionDateKey;
            text += percentEncode(info.deletionDate, "");
            text += '\n';
        }
    }
    return text;
}

TrashInfoStore parseTrashInfoStore(std::string_view text) {
    TrashInfoStore store;
    std::optional<std::string> group;
    TrashInfo info;
    auto finish = [&] {
        if (group && !info.path.empty())
            store.insert_or_assign(*group, info);
        group.reset();
        info = TrashInfo{};
    };
    forEachLine(text, [&](std::string_view line) {
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            finish();
            group = percentDecode(line.substr(1, line.size() - 2));
            return;
        }
        if (!group)
            return;
        if (line.starts_with(kPathKey))
            info.path = std::string(line.substr(kPathKey.size()));
        else if (line.starts_with(kDeletionDateKey))
            info.deletionDate = std::string(line.substr(kDeletionDateKey.size()));
    });
    finish();
    return store;
}

TrashInfoStore readTrashInfoStore(int dateFolderFd) {
    auto text = sys::readFileAt(dateFolderFd, std::string(kTrashInfoStoreName), kMaxTrashInfoStoreBytes);
    return text ? parseTrashInfoStore(*text) : TrashInfoStore{};
}

sys::Status addToTrashInfoStore(int dateFolderFd, const std::string &dateFolder, const TrashInfoStore &entries) {
    if (entries.empty())
        return {};
    TrashInfoStore store = readTrashInfoStore(dateFolderFd);
    for (const auto &[name, info] : entries)
        store.insert_or_assign(name, info);
    const std::string text = formatTrashInfoStore(store);
    const std::string path = sys::joinPath(dateFolder, kTrashInfoStoreName);
    if (text.size() > kMaxTrashInfoStoreBytes)
        return sys::Status::failure(EFBIG, "write", path);
    return sys::writeFileAtomicallyAt(dateFolderFd, std::string(kTrashInfoStoreName), text, 0600, path);
}

std::optional<std::string> originalPathOf(const TrashInfoStore &store, const std::string &storedName,
                                          const std::string &topFolder) {
    auto found = store.find(storedName);
    if (found == store.end())
        return std::nullopt;
    std::string path = percentDecode(found->second.path);
    if (path.empty())
        return std::nullopt;
    if (path.front() != '/')
        path = sys::joinPath(topFolder, path);
    return path;
}

} // namespace quillet
