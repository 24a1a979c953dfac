#include "support/VersionTools.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace quillet;

namespace {

const std::string kTitle = "Quillet ";

TEST(SearchVersion, findsTheVersionAfterTheTitleOrSaysWhyNot) {
    struct Case {
        std::string text;
        std::optional<std::string> version;
        const char *why;
    };
    const std::string longNumber = "1." + std::string(200, '7');
    const Case cases[] = {
        {"<p>Download Quillet <b>2.1.3</b> now</p>", "2.1.3", "a bold tag around the number"},
        {"Quillet - 2.1 for Linux", "2.1", "a blank, a hyphen and a blank before it"},
        {"Quillet v2.1", "", "a letter before any digit rejects the occurrence"},
        {"Quillet 2 is out. Quillet 2.5 is better", "2.5", "a number without a point is skipped"},
        {"Quillet 2 and Quillet 3", "", "no occurrence is followed by a version"},
        {"Nothing of the product on this page", std::nullopt, "the title never occurs"},
        {"", std::nullopt, "an empty page"},
        {"Quillet for Linux", "", "the title without a version"},
        {"Quillet ", "", "the page ends after the title"},
        {"Quillet <b class=\"v\"", "", "a tag that never closes"},
        {"Quillet \t\r\n-<span class=\"v\"><b>3.0b2</b></span>", "3.0b2", "tabs, line ends, a hyphen and two tags"},
        {"Quillet 2.1b3, released today", "2.1b3", "letters belong to the version, a comma ends it"},
        {"Quillet 4.5", "4.5", "the end of the page ends the version"},
        {"Quillet 2.1.</p>", "2.1.", "a trailing point is collected as it stands"},
        {"<title>Quillet </title> - Quillet 1.2", "1.2", "the title in a page title, the version later"},
        {"quillet 1.0", std::nullopt, "the title is found case and all"},
        {"Quillet  2.0", "2.0", "two blanks"},
        {"QuilletQuillet 7.1", "7.1", "the title right after a word"},
        {"Quillet " + longNumber, longNumber.substr(0, kMaxVersionLength), "a version is cut at 127 characters"},
    };
    for (const Case &c : cases) {
        const std::optional<std::string> found = searchVersion(kTitle, c.text);
        EXPECT_EQ(found, c.version) << c.why << ": " << c.text;
    }
}

TEST(SearchVersion, aVersionCutAtItsLimitIsStillAVersion) {
    // The 127 characters hold the point: the cut number counts.
    const std::string cut = "9." + std::string(kMaxVersionLength - 2, '0');
    EXPECT_EQ(searchVersion(kTitle, "Quillet " + cut + "12345"), cut);
    // A number whose point lies past the 127th character is no version.
    EXPECT_EQ(searchVersion(kTitle, "Quillet " + std::string(kMaxVersionLength, '1') + ".2"), "");
}

TEST(SearchVersion, aPageOfUnclosedTagsIsReadOnce) {
    // Each occurrence enters a tag whose end lies at the far end of the page; the search must
    // not read the rest of the page again for each of them.
    std::string text;
    for (int i = 0; i < 200000; ++i)
        text += "Quillet <";
    text += "> Quillet 2.0";
    EXPECT_EQ(searchVersion(kTitle, text), "2.0");
}

TEST(IsThisVersionNewerThan, comparesTheNumbersNumerically) {
    struct Case {
        std::optional<std::string> candidate;
        std::optional<std::string> current;
        bool newer;
    };
    const std::string huge = "1." + std::string(40, '9');
    const std::string hugeMinusOne = "1." + std::string(39, '9') + "8";
    const Case cases[] = {
        {"1.10", "1.9", true},
        {"1.9", "1.10", false},
        {"1.5", "1.5b2", true},
        {"1.5", "1.5", false},
        {"2.0", "2.0b3", true},
        {"2.0b3", "2.0", false},
        {"2.0b10", "2.0b3", true},
        {"2.0b3", "2.0b10", false},
        {"2.0b1", "2.0a1", true},
        {"2.0a1", "2.0b1", false},
        {"2.0rc1", "2.0b9", true},
        {"2.0B3", "2.0b3", false},
        {"1.5.1", "1.5b1", true},
        {"1.5.1", "1.5", true},
        {"1.5.0", "1.5", false},
        {"1.5", "1.5.0", false},
        {"2.1.10", "2.1.3", true},
        {"2.1.3", "2.1.10", false},
        {"1.010", "1.10", false},
        {"1.10", "1.010", false},
        {"10.0", "9.9.9", true},
        {"0.2.0", "0.1.0", true},
        {huge, hugeMinusOne, true},
        {hugeMinusOne, huge, false},
        {"1." + std::string(60, '0') + "2", "1.1", true},
        {std::nullopt, "1.0", false},
        {"1.0", std::nullopt, true},
        {std::nullopt, std::nullopt, false},
        {"", "1.0", false},
        {"1.0", "", true},
        {"", "", false},
        {"1." + std::string(kMaxVersionLength - 2, '9'), "1.0", true},
        {"1." + std::string(kMaxVersionLength - 1, '9'), "1.0", false},
    };
    for (const Case &c : cases) {
        std::optional<std::string_view> candidate = c.candidate;
        std::optional<std::string_view> current = c.current;
        EXPECT_EQ(isThisVersionNewerThan(candidate, current), c.newer)
            << (c.candidate ? *c.candidate : "nil") << " newer than " << (c.current ? *c.current : "nil");
    }
}

TEST(CompareVersions, ordersAReleaseAfterItsPreReleasesAndBeforeTheNextOne) {
    const std::vector<std::string> ascending = {"0.9",    "1.0a1",  "1.0a2", "1.0b1", "1.0b2", "1.0b10", "1.0rc1",
                                                "1.0",    "1.0.1",  "1.1b1", "1.1",   "1.9",   "1.10",   "1.10.1",
                                                "2.0d1",  "2.0",    "10.0"};
    for (size_t i = 0; i < ascending.size(); ++i)
        for (size_t j = 0; j < ascending.size(); ++j) {
            const int order = compareVersions(ascending[i], ascending[j]);
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ((order > 0) - (order < 0), expected) << ascending[i] << " against " << ascending[j];
        }
}

TEST(CompareVersions, treatsSpellingsOfTheSameVersionAsEqual) {
    const std::pair<std::string, std::string> same[] = {
        {"1.0", "1.0.0"}, {"1.0", "1.00"}, {"1", "1.0"}, {"2.0b3", "2.0B3"}, {"2.0b3", "2.0.b.3"}, {"2.0-rc1", "2.0rc1"},
    };
    for (const auto &[a, b] : same) {
        EXPECT_EQ(compareVersions(a, b), 0) << a << " / " << b;
        EXPECT_EQ(compareVersions(b, a), 0) << b << " / " << a;
    }
}

} // namespace
