#include "archive/ItemOrigin.h"

#include "archive/CacheFolders.h"
#include "platform/TrustedFolder.h"
#include "archive/CacheLayout.h"

#include <string_view>

namespace quillet {
namespace {

/// The components of a relative path; nothing when one would leave the folder it starts from.
/// Views into relative: a listing asks for the origin of every row.
std::optional<std::vector<std::string_view>> componentsOf(std::string_view relative) {
    std::vector<std::string_view> components;
    while (!relative.empty()) {
        const size_t slash = relative.find('/');
        const std::string_view component = relative.substr(0, slash);
        if (component == "." || component == "..")
            return std::nullopt;
        if (!component.empty())
            components.push_back(component);
        if (slash == std::string_view::npos)
            break;
        relative.remove_prefix(slash + 1);
    }
    return components;
}

} // namespace

OriginLookup::OriginLookup(std::vector<std::string> caches) : _caches(std::move(caches)) {
    for (std::string &cache : _caches)
        cache = sys::withoutTrailingSlashes(std::move(cache));
}

const TrashInfoStore *OriginLookup::storeOf(const std::string &cache, std::string_view dateFolder,
                                            std::string_view dateName) {
    // Rows come folder by folder: the folder of the last row is looked up once.
    if (_last && _last->first == dateFolder)
        return _last->second ? &*_last->second : nullptr;
    auto found = _stores.find(dateFolder);
    if (found == _stores.end()) {
        std::optional<TrashInfoStore> store;
        if (dateFromFinderCompatibleDateDescription(std::string(dateName))) {
            store.emplace();
            // Only real folders of the user's: a cache or date folder that is a link or another
            // account's holds nothing this user may believe. The cache folder is opened once.
            auto [opened, added] = _cacheFolders.try_emplace(cache);
            if (added) {
                if (auto folder = sys::openOwnedFolder(cache))
                    opened->second = std::move(*folder);
            }
            if (opened->second.valid()) {
                if (auto folder = sys::openOwnedFolderAt(opened->second, std::string(dateName)))
                    *store = readTrashInfoStore(folder->get());
            }
        }
        found = _stores.emplace(std::string(dateFolder), std::move(store)).first;
    }
    _last = &*found;
    return found->second ? &*found->second : nullptr;
}

std::optional<ItemOrigin> OriginLookup::originOf(const std::string &cachedPath) {
    std::string_view path = cachedPath;
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    for (const std::string &cache : _caches) {
        if (path.size() <= cache.size() + 1 || !path.starts_with(cache) || path[cache.size()] != '/')
            continue;
        auto components = componentsOf(path.substr(cache.size() + 1));
        // The date folder and at least the archived item itself.
        if (!components || components->size() < 2)
            return std::nullopt;
        const std::string_view dateName = (*components)[0];
        // The date folder's path as the row has it, unless the row's path doubles a slash.
        std::string_view dateFolder = path.substr(0, cache.size() + 1 + dateName.size());
        std::string joined;
        if (dateName.data() != path.data() + cache.size() + 1) {
            joined = sys::joinPath(cache, std::string(dateName));
            dateFolder = joined;
        }
        const TrashInfoStore *store = storeOf(cache, dateFolder, dateName);
        if (!store)
            return std::nullopt;
        const std::string topName((*components)[1]);
        auto original = originalPathOf(*store, topName, sys::parentPath(cache));
        if (!original)
            return std::nullopt;
        for (size_t i = 2; i < components->size(); ++i)
            *original = sys::joinPath(*original, setFileName(std::string((*components)[i]), Visibility::Visible));
        return ItemOrigin{std::move(*original), store->at(topName).deletionDate};
    }
    return std::nullopt;
}

} // namespace quillet
