#include "browser/CacheSearch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "browser/CacheTree.h"
#include "TestDir.h"
#include "support/ZRAppUtils.h"

using namespace quillet;
using namespace quillet::test;

namespace {

TEST(NameMatcher, matchesSubstringsWithoutRegardToCase) {
    struct Case {
        std::string needle;
        std::string name;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"report", ".x_Report.pdf", true},
        {"REPORT", ".x_old reports", true},
        {"x_", ".x_anything", true},
        {".x", ".x_anything", true},
        {"", "whatever", true},
        {"pdf", ".x_Report.pd", false},
        {"longer than the name", "short", false},
        {"*.pdf", ".x_Report.pdf", false},
        {"rt.p", ".x_RepoRT.PDF", true},
        {"\xc3\xa9t\xc3\xa9", ".x_\xc3\xa9t\xc3\xa9.txt", true},
        {"aab", "aaab", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.needle + " in " + c.name);
        EXPECT_EQ(NameMatcher(c.needle).matches(c.name), c.expected);
    }
}

// What full case folding gives, character by character: the mappings that are one character for
// one (é, Σ, ς), those that are longer (ß, İ, the ligature ﬁ, ΐ) or shorter (the Kelvin sign),
// and the Turkic ones, which are not used (I folds to i, İ keeps its dot as a combining one).
TEST(FoldedName, foldsByUnicodeFullCaseFolding) {
    struct Case {
        std::string name;
        std::string folded;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"Report 2008.PDF", "report 2008.pdf"},
        {"\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt", "\xc3\xa9t\xc3\xa9 \xc3\xa0 paris.txt"}, // Été à Paris.txt
        {"\xc3\x89T\xc3\x89", "\xc3\xa9t\xc3\xa9"},                                         // ÉTÉ
        {"Stra\xc3\x9f" "e", "strasse"},                                                       // Straße
        {"STRASSE", "strasse"},
        {"\xe1\xba\x9e", "ss"},                                                                 // ẞ, capital sharp s
        {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x83"},             // ΟΔΟΣ: οδοσ
        {"\xce\xbf\xce\xb4\xce\xbf\xcf\x82", "\xce\xbf\xce\xb4\xce\xbf\xcf\x83"},             // οδος: final ς is σ
        {"\xc4\xb0stanbul", "i\xcc\x87stanbul"},                                                // İstanbul: i + U+0307
        {"ISTANBUL", "istanbul"},                                                                // not ı
        {"\xc4\xb1", "\xc4\xb1"},                                                                 // ı stays
        {"\xe2\x84\xaa", "k"},                                                                   // Kelvin sign
        {"\xef\xac\x81le", "file"},                                                              // ﬁle
        {"\xce\x90", "\xce\xb9\xcc\x88\xcc\x81"},                                                 // ΐ: three characters
        {"\xd0\x9c\xd0\x9e\xd0\xa1\xd0\x9a\xd0\x92\xd0\x90", "\xd0\xbc\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0"}, // МОСКВА
        {"\xe6\x9d\xb1\xe4\xba\xac.TXT", "\xe6\x9d\xb1\xe4\xba\xac.txt"},                         // 東京: no case
        {"e\xcc\x81", "e\xcc\x81"}, // e + combining acute: not composed, so not "é"
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(foldedName(c.name), c.folded);
        std::string appended = "kept ";
        appendFoldedName(c.name, appended);
        EXPECT_EQ(appended, "kept " + c.folded);
    }
}

// A name is bytes: what is not UTF-8 is copied as it is, and the letters around it still fold.
TEST(FoldedName, copiesBytesThatAreNotUtf8AndFoldsTheRest) {
    struct Case {
        std::string name;
        std::string folded;
    };
    const std::vector<Case> cases = {
        {"L\xe9T\xe9", "l\xe9t\xe9"},                             // Latin-1 é is no UTF-8
        {"\xc9T\xc9", "\xc9t\xc9"},                                // nor is Latin-1 É, and it is not lowered
        {"A\xc3", "a\xc3"},                                        // truncated at the end
        {"\xe2\x84Z", "\xe2\x84z"},                                // truncated before a letter
        {"\x80\xbf" "B", "\x80\xbf" "b"},                             // stray continuation bytes
        {"\xc0\xafQ", "\xc0\xafq"},                                // overlong "/"
        {"\xed\xa0\x80X", "\xed\xa0\x80x"},                        // an encoded surrogate
        {"\xf4\x90\x80\x80Z", "\xf4\x90\x80\x80z"},                // above U+10FFFF
        {"\xff\xfe\xc3\x89", "\xff\xfe\xc3\xa9"},                    // bad bytes, then a valid É
        {std::string("A\0\xc3\x89", 4), std::string("a\0\xc3\xa9", 4)}, // a NUL inside
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.name));
        EXPECT_EQ(foldedName(c.name), c.folded);
    }
}

TEST(FoldedName, asciiNamesAreRecognisedAtEveryLength) {
    std::string name;
    for (size_t length = 0; length < 20; ++length) {
        EXPECT_TRUE(isAsciiName(name)) << length;
        for (size_t at = 0; at < length; ++at) {
            std::string marked = name;
            marked[at] = '\xc3';
            EXPECT_FALSE(isAsciiName(marked)) << length << " " << at;
        }
        name += static_cast<char>('A' + length);
    }
    EXPECT_TRUE(isAsciiName(std::string("\x7f\0", 2)));
}

TEST(NameMatcher, matchesByUnicodeCaseFolding) {
    struct Case {
        std::string needle;
        std::string name;
        bool expected;
    };
    const std::string ete = "\xc3\xa9t\xc3\xa9";                              // été
    const std::string eteParis = ".x_\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt"; // Été à Paris.txt
    const std::string strasse = ".x_Stra\xc3\x9f" "e 1";                     // Straße 1
    const std::vector<Case> cases = {
        {ete, eteParis, true},
        {"\xc3\x89T\xc3\x89", eteParis, true}, // ÉTÉ
        {"\xc3\xa0 paris", eteParis, true},     // à paris
        {"ete", eteParis, false},                // no accents dropped
        {"paris", eteParis, true},               // an ASCII needle in a name outside ASCII
        {"PARIS.TXT", eteParis, true},
        {"strasse", strasse, true},
        {"STRASSE 1", strasse, true},
        {"ss", strasse, true},
        {"\xc3\x9f", ".x_STRASSE", true},    // ß in STRASSE: its folding "ss" is ASCII
        {"\xc3\x9f", ".x_strase", false},
        {"stra\xc3\x9f" "e", strasse, true},
        {"\xce\xbf\xce\xb4\xce\xbf\xcf\x82", "\xce\x9f\xce\x94\xce\x9f\xce\xa3 map", true}, // οδος in ΟΔΟΣ map
        {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82", true},      // ΟΔΟΣ in οδος
        {"\xcf\x83", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82", true},                                // σ in οδος
        {"\xc4\xb0stanbul", "\xc4\xb0STANBUL.jpg", true}, // İstanbul in İSTANBUL.jpg
        {"i\xcc\x87stanbul", "\xc4\xb0stanbul", true},    // i + dot above is İ's folding
        {"istanbul", "\xc4\xb0stanbul", false},           // the dot stands between i and s
        {"stanbul", "\xc4\xb0stanbul", true},
        {"\xc4\xb1stanbul", "ISTANBUL", false},            // ı is a letter of its own
        {"\xe2\x84\xaa", "kilo", true},                    // Kelvin sign in an ASCII name
        {"k", "\xe2\x84\xaa", true},                       // and k in the Kelvin sign
        {"file", "\xef\xac\x81le", true},                  // ﬁle
        {"\xd0\xbc\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", "\xd0\x9c\xd0\x9e\xd0\xa1\xd0\x9a\xd0\x92\xd0\x90", true}, // москва
        {"\xe6\x9d\xb1\xe4\xba\xac", "\xe6\x97\xa5\xe6\x9d\xb1\xe4\xba\xac", true},            // 東京 in 日東京
        {"\xe6\x9d\xb1\xe4\xba\xac", "tokyo", false},
        {"\xc3\xa9", "e\xcc\x81", false}, // é is not e + combining acute: nothing is normalized
        {"\xc3\xa9t\xc3\xa9 2", "\xc3\xa9t\xc3\xa9", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.needle + " in " + c.name);
        EXPECT_EQ(NameMatcher(c.needle).matches(c.name), c.expected);
    }
}

TEST(NameMatcher, bytesThatAreNotUtf8MatchOnlyThemselves) {
    struct Case {
        std::string needle;
        std::string name;
        bool expected;
    };
    const std::string latin1 = ".x_L\xe9T\xe9 Report"; // "LéTé Report" in Latin-1
    const std::vector<Case> cases = {
        {"report", latin1, true}, // the ASCII around the bad bytes still matches without case
        {"l\xe9t\xe9", latin1, true},
        {"\xe9T", latin1, true},
        {"\xc9T\xc9", latin1, false},      // no Latin-1 is guessed: É there is not é
        {"\xc3\xa9t\xc3\xa9", latin1, false}, // and UTF-8 é is not Latin-1 é
        {"\xe9", "\xc3\xa9", false},        // nor is é's second byte alone
        {"\xff", "abc", false},
        {"\x80", "a\x80" "b", true},
        {"A\xc3", "xa\xc3", true},          // a sequence cut short, at the end of the name
        {"\xc3\xa9", "\xc3\xa9\xc3", true},  // a valid é before a cut-short sequence
        {"\xc3", "\xc3\x89", true},          // É folds to c3 a9, so its first byte is there
        {std::string("\0", 1), std::string("a\0b", 3), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.needle) + " in " + ::testing::PrintToString(c.name));
        EXPECT_EQ(NameMatcher(c.needle).matches(c.name), c.expected);
    }
}

// Whatever the bytes, a name contains itself, also with its ASCII letters in the other case,
// and neither folding nor matching fails: every cut of a few names, valid or not, is tried.
TEST(NameMatcher, everyNameContainsItselfWhateverItsBytes) {
    const std::vector<std::string> sources = {
        "\xc3\x89t\xc3\xa9 \xc3\xa0 Paris", "Stra\xc3\x9f" "e", "\xce\x90\xce\xa3x\xcf\x82", "\xc4\xb0i\xe2\x84\xaaK",
        "\xf0\x9f\x98\x80 Smile", "L\xe9T\xe9\xff\xfe", "\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80",
    };
    auto swapAsciiCase = [](std::string text) {
        for (char &c : text) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return text;
    };
    size_t tried = 0;
    for (const std::string &source : sources) {
        for (size_t from = 0; from < source.size(); ++from) {
            for (size_t length = 1; from + length <= source.size(); ++length) {
                const std::string name = source.substr(from, length);
                SCOPED_TRACE(::testing::PrintToString(name));
                EXPECT_TRUE(NameMatcher(name).matches(name));
                EXPECT_TRUE(NameMatcher(swapAsciiCase(name)).matches(name));
                EXPECT_TRUE(NameMatcher(name).matches("<" + swapAsciiCase(name) + ">"));
                EXPECT_TRUE(NameMatcher("").matches(name));
                ++tried;
            }
        }
    }
    EXPECT_GT(tried, 300u);
}

class CacheSearchTest : public ::testing::Test {
protected:
    CacheSearchTest() {
        cache = dir.makeDir(".TrashCacheFolder", 0700);
        day1 = cache + "/" + dateName(2008, 3, 14);
        day2 = cache + "/" + dateName(2008, 3, 15);
        writeData(day1 + "/.x_Report.pdf", 1200);
        writeData(day2 + "/.x_Papers/.x_Deep/.x_old reports", 300);
        touch(day2 + "/.x_Papers/.x_notes.txt");
        writeData(day2 + "/.x_Viewer.app/.x_Contents/.x_report inside", 700);
        touch(cache + "/misc/.x_report elsewhere");
        touch(cache + "/ArchivedFileData");
    }

    std::vector<BrowserItem> search(const std::string &text) {
        std::vector<BrowserItem> hits;
        std::atomic<bool> stop{false};
        searchCaches({cache, dir / "missing"}, text, stop, [&](BrowserItem &&item) { hits.push_back(std::move(item)); });
        return hits;
    }

    static std::vector<std::string> paths(std::vector<BrowserItem> rows) {
        std::vector<std::string> result;
        for (const BrowserItem &row : rows)
            result.push_back(row.pathToItem);
        std::sort(result.begin(), result.end());
        return result;
    }

    TestDir dir;
    std::string cache, day1, day2;
};

// What the system is still assembling is never a hit, nor searched inside.
TEST_F(CacheSearchTest, workInProgressIsNeverAHit) {
    writeData(day1 + "/.quillet-partial-1-2/.x_report draft", 10);
    for (const BrowserItem &hit : search("quillet"))
        ADD_FAILURE() << hit.pathToItem;
    for (const BrowserItem &hit : search("report"))
        EXPECT_EQ(hit.pathToItem.find(".quillet-partial"), std::string::npos) << hit.pathToItem;
}

TEST_F(CacheSearchTest, findsStoredNamesAtAnyDepthInDateFoldersOnly) {
    auto hits = search("report");
    EXPECT_EQ(paths(hits), (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers/.x_Deep/.x_old reports"}));
    for (const BrowserItem &hit : hits) {
        if (hit.pathToItem == day1 + "/.x_Report.pdf") {
            EXPECT_EQ(hit.itemName, ".x_Report.pdf");
            EXPECT_EQ(hit.itemRepresentationName, "Report.pdf");
            EXPECT_EQ(hit.size, 1200u);
            EXPECT_FALSE(hit.isDirectory);
            EXPECT_TRUE(hit.modificationDate);
        } else {
            EXPECT_EQ(hit.itemName, ".x_old reports");
            EXPECT_EQ(hit.itemRepresentationName, "old reports");
        }
    }
}

TEST_F(CacheSearchTest, prefixTextMatchesEveryArchivedEntry) {
    const std::vector<std::string> all = {
        day1 + "/.x_Report.pdf",
        day2 + "/.x_Papers",
        day2 + "/.x_Papers/.x_Deep",
        day2 + "/.x_Papers/.x_Deep/.x_old reports",
        day2 + "/.x_Papers/.x_notes.txt",
        day2 + "/.x_Viewer.app",
    };
    EXPECT_EQ(paths(search("x_")), all);
    EXPECT_EQ(paths(search(".X")), all);
}

TEST_F(CacheSearchTest, findsAccentedAndNonUtf8NamesWithoutRegardToCase) {
    const std::string accented = day1 + "/.x_\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt"; // Été à Paris.txt
    const std::string greek = day2 + "/.x_Papers/.x_\xce\x9f\xce\x94\xce\x9f\xce\xa3";  // ΟΔΟΣ
    const std::string latin1 = day2 + "/.x_L\xe9T\xe9 report";                          // not UTF-8
    touch(accented);
    touch(greek);
    touch(latin1);

    EXPECT_EQ(paths(search("\xc3\xa9t\xc3\xa9")), std::vector<std::string>{accented}); // été
    EXPECT_EQ(paths(search("\xc3\xa0 PARIS")), std::vector<std::string>{accented});      // à PARIS
    EXPECT_EQ(paths(search("\xce\xbf\xce\xb4\xce\xbf\xcf\x82")), std::vector<std::string>{greek}); // οδος
    EXPECT_EQ(paths(search("l\xe9t\xe9")), std::vector<std::string>{latin1});
    auto reports = search("REPORT");
    EXPECT_EQ(paths(reports),
              (std::vector<std::string>{day1 + "/.x_Report.pdf", latin1, day2 + "/.x_Papers/.x_Deep/.x_old reports"}));
    for (const BrowserItem &hit : reports) {
        if (hit.pathToItem == latin1) {
            EXPECT_EQ(hit.itemRepresentationName, "L\xe9T\xe9 report") << "the name's bytes are kept as they are";
        }
    }
}

TEST_F(CacheSearchTest, packageMatchesByItsNameButIsNotEntered) {
    auto hits = search("viewer");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].itemRepresentationName, "Viewer.app");
    EXPECT_FALSE(hits[0].isDirectory);
    EXPECT_EQ(hits[0].size, ZRAppUtils().getFolderSize(day2 + "/.x_Viewer.app"));
    EXPECT_TRUE(search("inside").empty());

    auto folders = search("papers");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(folders[0].isDirectory);
    EXPECT_EQ(folders[0].size, ZRAppUtils().getFolderSize(day2 + "/.x_Papers"));
}

TEST_F(CacheSearchTest, entryComesBeforeItsContents) {
    auto hits = search("x_");
    auto position = [&](const std::string &path) {
        return std::find_if(hits.begin(), hits.end(), [&](const BrowserItem &i) { return i.pathToItem == path; }) -
               hits.begin();
    };
    EXPECT_LT(position(day2 + "/.x_Papers"), position(day2 + "/.x_Papers/.x_Deep"));
    EXPECT_LT(position(day2 + "/.x_Papers/.x_Deep"), position(day2 + "/.x_Papers/.x_Deep/.x_old reports"));
}

// The newest date folders are walked first, whatever order the folder lists them in.
TEST_F(CacheSearchTest, newestDateFoldersComeFirst) {
    const std::vector<std::string> days = {cache + "/" + dateName(2011, 1, 2), cache + "/" + dateName(2009, 6, 1),
                                           cache + "/" + dateName(2012, 12, 31), cache + "/" + dateName(2010, 2, 3)};
    for (const std::string &day : days)
        touch(day + "/.x_zebra");
    std::vector<std::string> found;
    for (const BrowserItem &hit : search("zebra"))
        found.push_back(hit.pathToItem);
    EXPECT_EQ(found, (std::vector<std::string>{days[2] + "/.x_zebra", days[0] + "/.x_zebra", days[3] + "/.x_zebra",
                                               days[1] + "/.x_zebra"}));
}

TEST_F(CacheSearchTest, stopEndsTheWalkBeforeTheNextEntry) {
    std::atomic<bool> stop{true};
    int hits = 0;
    searchCaches({cache}, "x_", stop, [&](BrowserItem &&) { ++hits; });
    EXPECT_EQ(hits, 0);

    stop = false;
    searchCaches({cache}, "x_", stop, [&](BrowserItem &&) {
        ++hits;
        stop = true;
    });
    EXPECT_EQ(hits, 1);
}

TEST_F(CacheSearchTest, treeShowsResultsWhileSearchingAndNormalViewAfterClearing) {
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    std::promise<uint64_t> finished;
    auto ended = finished.get_future();
    tree.setSearchFinishedCallback([&](uint64_t number) { finished.set_value(number); });
    std::vector<uint64_t> statusLines;
    tree.setStatusCallback([&](uint64_t count) { statusLines.push_back(count); });

    tree.searchItemAction("REPORT");
    EXPECT_TRUE(tree.userIsSearching());
    EXPECT_EQ(tree.stringSearched(), "REPORT");
    uint64_t number = ended.get();
    tree.threadTerminateSearch(number);
    EXPECT_FALSE(tree.searchThreadRunning());
    EXPECT_EQ(paths(tree.rootListItems()),
              (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers/.x_Deep/.x_old reports"}));
    EXPECT_EQ(statusLines.back(), 2u);

    // While results are shown, a rebuild from the disk is not done.
    tree.buildListRootItems();
    EXPECT_EQ(tree.rootListItems().size(), 2u);
    EXPECT_FALSE(tree.searchRefreshTimer()) << "the timer stops once the walk has ended";
    EXPECT_EQ(tree.rootListItems().size(), 2u);

    tree.searchItemAction("");
    EXPECT_FALSE(tree.userIsSearching());
    EXPECT_EQ(paths(tree.rootListItems()),
              (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers", day2 + "/.x_Viewer.app"}));
}

TEST_F(CacheSearchTest, newSearchReplacesRunningOneAndStaleEndIsIgnored) {
    CacheTree tree({cache});
    std::mutex endedLock;
    std::vector<uint64_t> ended;
    tree.setSearchFinishedCallback([&](uint64_t number) {
        std::lock_guard lock(endedLock);
        ended.push_back(number);
    });
    tree.searchItemAction("x_");
    tree.searchItemAction("notes");
    tree.waitForSearch();
    {
        std::lock_guard lock(endedLock);
        ASSERT_EQ(ended.size(), 2u);
    }
    tree.threadTerminateSearch(ended[0]); // the first search's end: ignored
    EXPECT_TRUE(tree.rootListItems().empty());
    tree.threadTerminateSearch(ended[1]);
    EXPECT_EQ(paths(tree.rootListItems()), std::vector<std::string>{day2 + "/.x_Papers/.x_notes.txt"});
}

TEST_F(CacheSearchTest, resultsCanBeCopiedWhileTheLockIsFree) {
    CacheSearch search;
    std::promise<void> finished;
    search.setFinishedCallback([&](uint64_t) { finished.set_value(); });
    EXPECT_EQ(search.start({cache}, "pdf"), 1u);
    finished.get_future().wait();
    search.waitUntilFinished();
    auto copy = search.results();
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->size(), 1u);
    EXPECT_EQ((*copy)[0].itemRepresentationName, "Report.pdf");
    EXPECT_EQ(search.copyResults(), *copy);
}

// What a reader took stays as it was: a later search hands over new lists, and asking again
// with nothing new found gives the same list, not a copy.
TEST_F(CacheSearchTest, resultsAreSnapshotsThatNeverChange) {
    CacheSearch search;
    search.start({cache}, "report");
    search.waitUntilFinished();
    const auto first = search.results();
    const std::vector<std::string> reports = {day1 + "/.x_Report.pdf", day2 + "/.x_Papers/.x_Deep/.x_old reports"};
    EXPECT_EQ(paths(*first), reports);
    EXPECT_EQ(search.results().get(), first.get());

    search.start({cache}, "notes");
    search.waitUntilFinished();
    const auto second = search.results();
    EXPECT_EQ(paths(*second), std::vector<std::string>{day2 + "/.x_Papers/.x_notes.txt"});
    EXPECT_EQ(paths(*first), reports);
    EXPECT_EQ(search.copyResults(), *second);
}

} // namespace
