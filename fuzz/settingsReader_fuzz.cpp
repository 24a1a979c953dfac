// libFuzzer target for the settings reader and writer.
//
// Every input is read as a domain file as it is, as the body of the top dictionary of an XML
// file, and as a list of objects assembled into a binary plist (see FuzzInput.h). Whatever reads
// must write out again and read back the same; the settings mirror built from it must hold only
// allowed values. The input is also stored as a string and as data, which must be written
// unless no form can carry the string, and checked as the text of every setting. Nothing may
// crash, hang or exhaust memory on the way.

#include "control/DaemonCommandLine.h"
#include "FuzzInput.h"
#include "support/Plist.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsMirror.h"
#include "settings/SettingsStore.h"

#include <plist/plist.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace quillet;

namespace {

// Collections nested in a libplist tree, the top one counting 1.
uint32_t libplistDepth(plist_t node) {
    uint32_t deepest = 0;
    switch (plist_get_node_type(node)) {
    case PLIST_ARRAY:
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
            deepest = std::max(deepest, libplistDepth(plist_array_get_item(node, i)));
        return deepest + 1;
    case PLIST_DICT:
        (void)forEachPlistEntry(node, [&](const char *, plist_t item) {
            if (item)
                deepest = std::max(deepest, libplistDepth(item));
            return true;
        });
        return deepest + 1;
    default:
        return 0;
    }
}

// What checkXmlPlist lets through, libplist must not build deeper: the check is what keeps
// libplist's recursive tree functions off deep trees.
void checkXmlScanner(std::string_view bytes) {
    if (bytes.starts_with("bplist00") || !checkXmlPlist(bytes, kMaxSettingsDepth))
        return;
    plist_t root = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistOwner owner(root);
    if (root && libplistDepth(root) > kMaxSettingsDepth + 1)
        std::abort();
}

// The daemons' command lines carry the allowed numbers only.
void checkArguments(const SettingsMirror &mirror) {
    auto number = [](const std::string &text) {
        int64_t value = -1;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return value;
    };
    const auto housekeeping = cacheManagerArguments(mirror);
    const int64_t days = number(housekeeping[0]);
    const int64_t megabytes = number(housekeeping[1]);
    const int64_t percentage = number(housekeeping[2]);
    if (days < 0 || days > 36500 || megabytes < 0 || percentage < 0 || percentage > 99)
        std::abort();
    const auto protection = protectionDaemonArguments(mirror, "/t", "/c");
    if (protection[5] != "0" && protection[5] != "1")
        std::abort();
}

void readAndRewrite(std::string_view bytes) {
    checkXmlScanner(bytes);
    auto top = parseSettingsFile(bytes);
    if (!top)
        return;
    auto written = serializeSettingsFile(*top);
    if (!written)
        std::abort();
    auto again = parseSettingsFile(*written);
    if (!again || *again != *top)
        std::abort();

    auto values = toPrefValue(*top);
    if (!values || !values->isDictionary())
        std::abort();
    SettingsMirror mirror(values->dictionary());
    mirror.initDefaultMirror(false);
    for (const PrefDefault &entry : registeredDefaultList()) {
        auto value = mirror.value(entry.key);
        if (!value || settingValueProblem(entry.key, *value))
            std::abort();
    }
    checkArguments(mirror);

    // What PreferencesDomain writes back after reading these values must be writable too.
    PlistNode rebuilt = PlistNode::dictionary();
    for (const auto &[key, value] : values->dictionary())
        rebuilt.set(key, toPlistNode(value));
    if (!serializeSettingsFile(rebuilt))
        std::abort();
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                      : lead >= 0xF0 && lead <= 0xF4   ? 4
                                                                                                       : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        const auto second = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
            (lead == 0xF4 && second > 0x8F))
            return false;
        i += length;
    }
    return true;
}

// Any string, under a key of ours and under another program's, survives a write, unless it
// holds NUL and is not UTF-8 (no form libplist reads carries that).
void storeAsString(std::string_view bytes) {
    PlistNode top = PlistNode::dictionary();
    top.set(prefs::kAppPrefs, PlistNode::dictionary());
    top.set("Another program's key", PlistNode::fromText(std::string(bytes)));
    PlistNode data;
    data.kind = PlistNode::Kind::Data;
    data.bytes = std::string(bytes);
    top.set("data", data);
    auto written = serializeSettingsFile(top);
    const bool carried = bytes.find('\0') == std::string_view::npos || isUtf8(bytes);
    if (written.ok() != carried)
        std::abort();
}

// A setting given as text is allowed exactly when it is a decimal integer in range, and then the
// mirror reads that very number from it.
void checkAsSetting(std::string_view bytes) {
    const PrefValue text{std::string(bytes)};
    for (const PrefDefault &entry : registeredDefaultList()) {
        if (settingValueProblem(entry.key, text))
            continue;
        int64_t number = 0;
        auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), number);
        if (error != std::errc() || end != bytes.data() + bytes.size() || bytes.starts_with("+"))
            std::abort();
        if (text.integerValue() != number)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    readAndRewrite(fuzz::GuardedCopy(bytes).bytes());
    const std::string body = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + std::string(bytes) + "</dict></plist>";
    readAndRewrite(fuzz::GuardedCopy(body).bytes());
    const std::string assembled = fuzz::assembleObjects(bytes);
    readAndRewrite(fuzz::GuardedCopy(assembled).bytes());
    storeAsString(bytes);
    checkAsSetting(bytes);
    return 0;
}
