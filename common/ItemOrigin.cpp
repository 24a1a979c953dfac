#include "ItemOrigin.h"

#include "CacheFolders.h"
#include "CacheLayout.h"

#include <string_view>

namespace quillet {
namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

/// The components of a relative path; nothing when one would leave the folder it starts from.
std::optional<std::vector<std::string>> componentsOf(std::string_view relative) {
    std::vector<std::string> components;
    while (!relative.empty()) {
        const size_t slash = relative.find('/');
        const std::string_view component = relative.substr(0, slash);
        if (component == "." || component == "..")
            return std::nullopt;
        if (!component.empty())
            components.emplace_back(component);
        if (slash == std::string_view::npos)
            break;
        relative.remove_prefix(slash + 1);
    }
    return components;
}

} // namespace

OriginLookup::OriginLookup(std::vector<std::string> caches) : _caches(std::move(caches)) {
    for (std::string &cache : _caches)
        cache = withoutTrailingSlashes(std::move(cache));
}

const TrashInfoStore *OriginLookup::storeOf(const std::string &cache, const std::string &dateName) {
    std::string dateFolder = sys::joinPath(cache, dateName);
    auto found = _stores.find(dateFolder);
    if (found == _stores.end()) {
        std::optional<TrashInfoStore> store;
        if (dateFromFinderCompatibleDateDescription(dateName)) {
            store.emplace();
            // Through the trusted opening only: a date folder that is a link or another
            // account's holds nothing this user may believe.
            if (auto folder = openFolderInCache(_caches, dateFolder))
                *store = readTrashInfoStore(folder->get());
        }
        found = _stores.emplace(std::move(dateFolder), std::move(store)).first;
    }
    return found->second ? &*found->second : nullptr;
}

std::optional<ItemOrigin> OriginLookup::originOf(const std::string &cachedPath) {
    const std::string path = withoutTrailingSlashes(cachedPath);
    for (const std::string &cache : _caches) {
        if (!path.starts_with(cache + "/"))
            continue;
        auto components = componentsOf(std::string_view(path).substr(cache.size() + 1));
        // The date folder and at least the archived item itself.
        if (!components || components->size() < 2)
            return std::nullopt;
        const TrashInfoStore *store = storeOf(cache, (*components)[0]);
        if (!store)
            return std::nullopt;
        const std::string &topName = (*components)[1];
        auto original = originalPathOf(*store, topName, sys::parentPath(cache));
        if (!original)
            return std::nullopt;
        for (size_t i = 2; i < components->size(); ++i)
            *original = sys::joinPath(*original, setFileName((*components)[i], Visibility::Visible));
        return ItemOrigin{std::move(*original), store->at(topName).deletionDate};
    }
    return std::nullopt;
}

} // namespace quillet
