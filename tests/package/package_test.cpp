#include "package/package.h"

#include <gtest/gtest.h>
#include <rpm/rpmds.h>
#include <rpm/rpmtag.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include "harness/command.h"
#include "harness/log_capture.h"
#include "harness/package_values.h"

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

// Version texts built from the pieces rpmvercmp treats specially: numbers with
// leading zeros, letters, separators, tilde and caret.
std::string randomVersion(std::mt19937& rng) {
    static const char* const kPieces[] = {"0",  "1", "2", "10", "01", "9", "a", "b",
                                          "rc", ".", ".", "_",  "+",  "~", "^", "alpha"};
    std::uniform_int_distribution<int> length(1, 5);
    std::uniform_int_distribution<size_t> piece(0, sizeof(kPieces) / sizeof(kPieces[0]) - 1);
    std::string text;
    int n = length(rng);
    for (int i = 0; i < n; ++i) {
        text += kPieces[piece(rng)];
    }
    return text;
}

std::string randomEvrText(std::mt19937& rng, bool withRelease) {
    std::uniform_int_distribution<int> coin(0, 3);
    std::string text;
    int epoch = coin(rng);
    if (epoch > 1) {
        text = std::to_string(epoch - 2) + ":";
    }
    text += randomVersion(rng);
    if (withRelease) {
        text += "-" + randomVersion(rng);
    }
    return text;
}

// Signs of rpm's own comparison (rpm.vercmp of the rpm program's Lua) for
// each pair, in one run of the rpm program.
std::vector<int> rpmVercmp(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::ostringstream lua;
    lua << "%{lua: local pairs = {";
    for (const auto& p : pairs) {
        lua << "{[[" << p.first << "]],[[" << p.second << "]]},";
    }
    lua << "} for _, p in ipairs(pairs) do print(rpm.vercmp(p[1], p[2]) .. \"\\n\") end}";
    CommandResult r = runCommand({"rpm", "--eval", lua.str()});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<int> results;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            results.push_back(sign(std::stoi(line)));
        }
    }
    return results;
}

struct RpmdsFree {
    void operator()(rpmds ds) const { rpmdsFree(ds); }
};
using Rpmds = std::unique_ptr<rpmds_s, RpmdsFree>;

// The RPM library's own overlap test of two dependencies.
bool rpmOverlap(const Dependency& a, const Dependency& b) {
    Rpmds da(rpmdsSingle(RPMTAG_PROVIDENAME, a.m_sName.c_str(), evrToString(a.m_evr).c_str(),
                         static_cast<rpmsenseFlags>(a.m_nFlags)));
    Rpmds db(rpmdsSingle(RPMTAG_REQUIRENAME, b.m_sName.c_str(), evrToString(b.m_evr).c_str(),
                         static_cast<rpmsenseFlags>(b.m_nFlags)));
    return rpmdsCompare(da.get(), db.get()) != 0;
}

}  // namespace

// ---- parseEvr and text forms ----

TEST(ParseEvr, ReadsEpochVersionAndReleaseAndLogsEachProblem) {
    struct Case {
        const char* text;
        uint32_t epoch;
        const char* version;
        const char* release;
        const char* message;  // expected log line, or ""
    } cases[] = {
        {"1.17", 0, "1.17", "", ""},
        {"2:4.1-3", 2, "4.1", "3", ""},
        {"1.0-2-3", 0, "1.0", "2-3", "WARNING: got release string with a dash when parsing EVR"},
        {"", 0, "", "", "ERROR: EVR string has no version release"},
        {"5:", 5, "", "", "ERROR: EVR string has no version release"},
        {"x:1.0", 0, "1.0", "", "ERROR: failed parsing epoch from EVR string"},
        {"12x:1.0", 12, "1.0", "", "ERROR: failed parsing epoch from EVR string"},
        {":1.0", 0, "1.0", "", "ERROR: failed parsing epoch from EVR string"},
        {"1.0-", 0, "1.0", "", "ERROR: empty release in EVR string"},
        {"-1", 0, "", "1", ""},
        // Kept to the low 32 bits, as strtoul reads it.
        {"4294967297:1", 1, "1", "", ""},
        {"1:2:3-4", 1, "2:3", "4", ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        Evr evr = parseEvr(c.text);
        EXPECT_EQ(evr.m_nEpoch, c.epoch) << c.text;
        EXPECT_EQ(evr.m_sVersion, c.version) << c.text;
        EXPECT_EQ(evr.m_sRelease, c.release) << c.text;
        std::vector<std::string> lines = log.lines();
        if (*c.message == '\0') {
            EXPECT_TRUE(lines.empty()) << c.text << ": " << log.text();
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{c.message}) << c.text;
        }
    }
}

// Any byte string is read without harm, and the text form reads back unchanged.
TEST(ParseEvr, AnyByteStringIsReadWithoutHarmAndTextFormsReadBack) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 40);
    const std::string alphabet = ":-0123456789.~ ";
    LogCapture log(LogLevel::Fatal);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        int n = length(rng);
        for (int j = 0; j < n; ++j) {
            int b = byte(rng);
            // Mostly the characters that matter, some arbitrary bytes (NUL included).
            text +=
                b < 200 ? alphabet[static_cast<size_t>(b) % alphabet.size()] : static_cast<char>(b);
        }
        Evr evr = parseEvr(text);
        // Whatever was read is a part of the input.
        EXPECT_NE(text.find(evr.m_sVersion.view()), std::string::npos);
        EXPECT_NE(text.find(evr.m_sRelease.view()), std::string::npos);
    }
    for (int i = 0; i < 500; ++i) {
        std::string text = randomEvrText(rng, i % 2 == 0);
        if (text.compare(0, 2, "0:") == 0) {
            text = text.substr(2);  // a zero epoch is not shown
        }
        EXPECT_EQ(evrToString(parseEvr(text)), text);
    }
}

TEST(EvrText, TextFormsOfVersionsPackagesAndDependencies) {
    EXPECT_EQ(evrToString(parseEvr("0:4.1-3")), "4.1-3");
    Evr noVersion;
    noVersion.m_nEpoch = 3;
    noVersion.m_sRelease = "5";
    EXPECT_EQ(evrToString(noVersion), "");

    Package p = makePackage("foo", "1:2.0-3");
    EXPECT_EQ(packageToString(p), "foo-1:2.0-3");
    p.m_evr = Evr();
    EXPECT_EQ(packageToString(p), "foo-");

    EXPECT_EQ(depToString(makeDep("libfoo >= 1:2.0-3")), "libfoo >= 1:2.0-3");
    EXPECT_EQ(depToString(makeDep("foo < 2")), "foo < 2");
    EXPECT_EQ(depToString(makeDep("foo ?6 2")), "foo ? 2");
    Dependency flagsWithoutVersion = depFromName("bare");
    flagsWithoutVersion.m_nFlags = RPMSENSE_EQUAL;
    EXPECT_EQ(depToString(flagsWithoutVersion), "bare");

    const std::pair<uint32_t, const char*> senses[] = {{2, "<"},   {4, ">"},   {8, "="},
                                                       {10, "<="}, {12, ">="}, {0, "?"},
                                                       {6, "?"},   {14, "?"},  {1, "?"}};
    for (const auto& s : senses) {
        EXPECT_STREQ(depSenseText(s.first), s.second) << s.first;
    }
}

// ---- compareEvr ----

TEST(CompareEvr, AgreesWithTheRpmProgramOnGeneratedPairs) {
    std::mt19937 rng(12345);
    std::vector<std::pair<std::string, std::string>> pairs;
    std::uniform_int_distribution<int> coin(0, 3);
    for (int i = 0; i < 400; ++i) {
        // Mostly both with releases; some with one or both releases missing.
        int mode = coin(rng);
        std::string a = randomEvrText(rng, mode != 1);
        std::string b = i % 5 == 0 ? a : randomEvrText(rng, mode != 2);
        pairs.emplace_back(a, b);
    }
    std::vector<int> expected = rpmVercmp(pairs);
    ASSERT_EQ(expected.size(), pairs.size());
    int differences = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        Evr a = parseEvr(pairs[i].first);
        Evr b = parseEvr(pairs[i].second);
        int ours = sign(compareEvr(a, b));
        EXPECT_EQ(ours, expected[i]) << pairs[i].first << " vs " << pairs[i].second;
        EXPECT_EQ(sign(compareEvr(b, a)), -ours) << pairs[i].first << " vs " << pairs[i].second;
        differences += ours != 0 ? 1 : 0;
    }
    // The generated pairs exercise both outcomes.
    EXPECT_GT(differences, 200);
    // Epochs compare as unsigned numbers.
    EXPECT_GT(compareEvr(parseEvr("4294967295:1"), parseEvr("1:1")), 0);
}

// ---- depMatches ----

// A release on one side only (both or neither: the agreement with the RPM
// library below).
TEST(DepMatches, RangesOverlapWhenSomeVersionSatisfiesBoth) {
    struct Case {
        const char* a;
        const char* b;
        bool matches;
    } cases[] = {
        {"foo", "foo = 1.0", true},
        {"foo = 1.0", "foo", true},
        {"foo = 1.0", "foo = 1.0-5", true},
        {"foo = 1.0-5", "foo = 1.0", true},
        {"foo = 1.0-4", "foo = 1.0-5", false},
        {"foo = 1.0", "bar = 1.0", false},
        {"foo", "bar", false},
        {"foo = 1.2-1", "foo >= 1.0", true},
        {"foo = 1.2-1", "foo >= 1.2", true},
        {"foo = 1.2-1", "foo < 1.2", false},
        {"foo < 2.0", "foo = 1.5-3", true},
        {"foo < 2.0", "foo = 2.0-1", false},
        {"foo <= 2.0", "foo = 2.0-1", true},
    };
    for (const Case& c : cases) {
        Dependency a = makeDep(c.a);
        Dependency b = makeDep(c.b);
        EXPECT_EQ(depMatches(a, b), c.matches) << c.a << " with " << c.b;
        EXPECT_EQ(depMatches(b, a), c.matches) << c.b << " with " << c.a;
    }
    // A flags value of 0 or an empty version accepts everything.
    Dependency noVersion = makeDep("foo = 1.0");
    noVersion.m_evr.m_sVersion.clear();
    EXPECT_TRUE(depMatches(noVersion, makeDep("foo < 0.1")));
    Dependency noFlags = makeDep("foo = 1.0");
    noFlags.m_nFlags = 0;
    EXPECT_TRUE(depMatches(noFlags, makeDep("foo > 7")));

    // Obsoletes are tested against a package as its exact capability.
    Package installed = makePackage("foo", "1.5-3");
    EXPECT_TRUE(depMatches(makeDep("foo < 2.0"), depFromPackage(installed)));
    EXPECT_FALSE(depMatches(makeDep("foo < 2.0"), depFromPackage(makePackage("foo", "2.0-1"))));
    EXPECT_EQ(depFromPackage(installed).m_nFlags, static_cast<uint32_t>(RPMSENSE_EQUAL));
}

TEST(DepMatches, AgreesWithTheRpmLibraryWhenReleasesArePresentOnBothSidesOrNeither) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<uint32_t> flags(0, 15);
    std::uniform_int_distribution<int> pick(0, 5);
    const char* const versions[] = {"1.0", "1.0.1", "2.0", "1:1.0", "0.9~rc1", "10"};
    const char* const releases[] = {"1", "2", "10", "1.el8"};
    int checked = 0;
    int overlapping = 0;
    for (int i = 0; i < 3000; ++i) {
        bool withRelease = i % 2 == 0;
        auto make = [&](const char* name) {
            std::string text = versions[pick(rng)];
            if (withRelease) {
                text += std::string("-") + releases[pick(rng) % 4];
            }
            Dependency d = depFromName(name);
            d.m_evr = parseEvr(text);
            d.m_nFlags = flags(rng);
            return d;
        };
        Dependency a = make("cap");
        Dependency b = make(i % 50 == 0 ? "other" : "cap");
        bool ours = depMatches(a, b);
        EXPECT_EQ(ours, rpmOverlap(a, b)) << depToString(a) << " / " << depToString(b);
        EXPECT_EQ(ours, depMatches(b, a));
        ++checked;
        overlapping += ours ? 1 : 0;
    }
    EXPECT_GT(overlapping, checked / 4);
    EXPECT_LT(overlapping, checked);
}

// ---- DependencySet ----

TEST(DependencySet, OrderedWithoutDuplicatesAndSearchableByName) {
    DependencySet set;
    EXPECT_TRUE(set.insert(makeDep("foo >= 1.0")).second);
    EXPECT_TRUE(set.insert(makeDep("foo = 1.0")).second);
    auto again = set.insert(makeDep("foo >= 1.0"));
    EXPECT_FALSE(again.second);
    EXPECT_EQ(depToString(*again.first), "foo >= 1.0");
    EXPECT_EQ(set.size(), 2u);
    // Equal Evrs order by flags: "=" (8) before ">=" (12).
    EXPECT_EQ(depToString(*set.begin()), "foo = 1.0");

    set.insert(makeDep("bar"));
    set.insert(makeDep("foo < 0.5"));
    set.insert(makeDep("foo"));
    set.insert(makeDep("foo = 0:1.0"));  // equal to "foo = 1.0"
    set.insert(makeDep("fo"));
    set.insert(makeDep("foo.x"));
    set.insert(makeDep("foo = ~1"));  // a leading "~" orders before the empty version
    std::vector<std::string> order;
    for (const Dependency& d : set) {
        order.push_back(depToString(d));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"bar", "fo", "foo = ~1", "foo", "foo < 0.5",
                                               "foo = 1.0", "foo >= 1.0", "foo.x"}));

    // The search from depFromName starts at the first entry of the name.
    EXPECT_EQ(depToString(*set.lower_bound(depFromName("foo"))), "foo = ~1");
    auto range = set.rangeOfName("foo");
    EXPECT_EQ(range.second - range.first, 5);
    EXPECT_EQ(set.rangeOfName("fooo").first, set.rangeOfName("fooo").second);
    EXPECT_NE(set.find(makeDep("foo < 0.5")), set.end());
    EXPECT_EQ(set.find(makeDep("foo < 0.6")), set.end());
    EXPECT_EQ(set.count(makeDep("foo = 1.0-0")), 0u);

    // Erasing while walking one name, as the resolver does.
    DependencySet copy = set;
    for (auto it = copy.firstOfName("foo"); it != copy.end() && it->m_sName == "foo";) {
        it = copy.erase(it);
    }
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy, makeDeps({"bar", "fo", "foo.x"}));
    EXPECT_EQ(set.size(), 8u);  // the copy is independent
    EXPECT_EQ(copy.erase(makeDep("fo")), 1u);
    EXPECT_EQ(copy.erase(makeDep("fo")), 0u);
    copy.clear();
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.begin(), copy.end());
}

TEST(DependencySet, BehavesLikeAnOrderedSetUnderRandomInsertionAndErasure) {
    std::mt19937 rng(4242);
    const char* const names[] = {"a", "b", "libc.so.6", "/bin/sh", "python3", "zz"};
    const char* const evrs[] = {"", "1.0", "1.0-1", "1:1.0", "2.0~rc1", "01.0", "1.0-1.1"};
    const uint32_t flagValues[] = {0, 2, 4, 8, 10, 12};
    std::uniform_int_distribution<int> n(0, 5);
    std::uniform_int_distribution<int> e(0, 6);
    for (int round = 0; round < 50; ++round) {
        DependencySet set;
        std::set<Dependency, decltype(&depLess)> reference(&depLess);
        for (int i = 0; i < 60; ++i) {
            Dependency d = depFromName(names[n(rng)]);
            const char* evr = evrs[e(rng)];
            if (*evr != '\0') {
                d.m_evr = parseEvr(evr);
                d.m_nFlags = flagValues[n(rng)];
            }
            if (i % 7 == 6) {
                EXPECT_EQ(set.erase(d), reference.erase(d));
            } else {
                EXPECT_EQ(set.insert(d).second, reference.insert(d).second);
            }
        }
        ASSERT_EQ(set.size(), reference.size());
        EXPECT_TRUE(std::equal(set.begin(), set.end(), reference.begin(), reference.end(),
                               [](const Dependency& x, const Dependency& y) {
                                   return !depLess(x, y) && !depLess(y, x);
                               }));
        set.shrinkToFit();
        DependencySet moved = std::move(set);
        EXPECT_EQ(moved.size(), reference.size());
    }
}

// ---- PackageList and PackageSet ----

TEST(PackageList, MatchesAStableMultisetUnderRandomInsertion) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> name(0, 40);
    PackageList list;
    std::multiset<Package, PackageNameLess> reference;
    for (int i = 0; i < 3000; ++i) {
        // Names with bytes above 0x7f order after ASCII (unsigned bytes).
        int k = name(rng);
        std::string n =
            k < 30 ? "pkg" + std::to_string(k) : std::string("\xc3\xa9") + char('a' + k);
        Package p = makePackage(n, std::to_string(i) + ".0");
        list.insert(p);
        reference.insert(p);  // after existing entries of the name
        if (i % 500 == 0) {
            // Reads in between inserts see a sorted list.
            ASSERT_EQ(list.size(), reference.size());
            EXPECT_TRUE(std::equal(list.begin(), list.end(), reference.begin(), reference.end(),
                                   [](const Package& a, const Package& b) {
                                       return a.m_sName == b.m_sName &&
                                              a.m_evr.m_sVersion == b.m_evr.m_sVersion;
                                   }));
        }
    }
    EXPECT_TRUE(std::equal(list.begin(), list.end(), reference.begin(), reference.end(),
                           [](const Package& a, const Package& b) {
                               return a.m_sName == b.m_sName &&
                                      a.m_evr.m_sVersion == b.m_evr.m_sVersion;
                           }));
    EXPECT_EQ(std::string(list.begin()->m_sName), "pkg0");
    auto range = list.equal_range("pkg0");
    EXPECT_EQ(static_cast<size_t>(range.second - range.first), list.count("pkg0"));
    EXPECT_EQ(&*list.find("pkg0"), &*range.first);
    EXPECT_EQ(list.find("pkg99"), list.end());
    EXPECT_EQ(std::prev(list.end())->m_sName.view().substr(0, 2), "\xc3\xa9");
    list.clear();
    EXPECT_TRUE(list.empty());
}

TEST(PackageSet, UniqueByNameWithLookupsByName) {
    PackageSet set;
    EXPECT_TRUE(set.insert(makePackage("foo", "1.0-1")).second);
    EXPECT_TRUE(set.insert(makePackage("bar", "2.0-1")).second);
    auto failed = set.insert(makePackage("foo", "9.9-9"));
    EXPECT_FALSE(failed.second);
    EXPECT_EQ(packageToString(*failed.first), "foo-1.0-1");
    EXPECT_EQ(set.begin()->m_sName, "bar");

    auto found = set.find("foo");
    ASSERT_NE(found, set.end());
    EXPECT_EQ(set.find(std::string("baz")), set.end());
    EXPECT_EQ(set.count(PooledString("bar")), 1u);
    Package key;
    key.m_sName = "bar";
    EXPECT_NE(set.find(key), set.end());

    // Erasing other entries while walking the set, as the obsoletes check does.
    set.insert(makePackage("aaa", "1"));
    set.insert(makePackage("zzz", "1"));
    for (auto it = set.begin(); it != set.end(); ++it) {
        if (it->m_sName == "bar") {
            set.erase(set.find("zzz"));
            set.erase(set.find("aaa"));
        }
    }
    EXPECT_EQ(set.size(), 2u);

    PackageSet snapshot;
    snapshot = set;
    set.clear();
    EXPECT_EQ(snapshot.size(), 2u);
    auto range = snapshot.equal_range("foo");
    EXPECT_EQ(std::distance(range.first, range.second), 1);
}

TEST(Package, CoreCopyDropsTheRepositoryPart) {
    Package p = makePackage("foo", "1:2.0-3", PackageType::VTXPKG);
    p.m_sGroup = "System";
    p.m_setRequires = makeDeps({"bar >= 1"});
    p.m_setRecommends = makeDeps({"baz"});
    p.m_setProvides = makeDeps({"foo = 1:2.0-3"});
    p.m_setObsoletes = makeDeps({"old < 2"});
    p.m_sLocation = "Packages/foo.rpm";
    p.m_sCacheFile = "/var/cache/updater/packages/foo.rpm";
    p.m_checksum.m_sType = "sha256";
    p.m_checksum.m_sValue = "00";
    p.m_nInstalledSize = 42;

    Package core = packageCore(p);
    EXPECT_EQ(packageToString(core), "foo-1:2.0-3");
    EXPECT_EQ(core.m_nType, PackageType::VTXPKG);
    EXPECT_EQ(core.m_sGroup, "System");
    EXPECT_EQ(core.m_setObsoletes, p.m_setObsoletes);
    EXPECT_EQ(core.m_setProvides, p.m_setProvides);
    EXPECT_TRUE(core.m_sLocation.empty());
    EXPECT_TRUE(core.m_sCacheFile.empty());
    EXPECT_TRUE(core.m_checksum.m_sValue.empty());
    EXPECT_TRUE(core.m_checksum.m_sType.empty());
    EXPECT_EQ(core.m_nInstalledSize, 0);
}
