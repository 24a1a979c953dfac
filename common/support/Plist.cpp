#include "support/Plist.h"

#include <cstdlib>

namespace quillet {

std::string plistToBinary(plist_t root) {
    char *binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    std::string out(binary ? binary : "", binary ? length : 0);
    if (binary)
        plist_to_bin_free(binary);
    return out;
}

std::optional<std::string> plistToXml(plist_t root) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (!xml)
        return std::nullopt;
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

bool forEachPlistEntry(plist_t dict, const std::function<bool(const char *key, plist_t value)> &visit) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    bool completed = true;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &key, &value);
        if (!key)
            break;
        const bool goOn = visit(key, value);
        std::free(key);
        if (!goOn) {
            completed = false;
            break;
        }
    }
    std::free(it);
    return completed;
}

} // namespace quillet
