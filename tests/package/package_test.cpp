// The package model: versions and dependencies judged by rpm itself, the
// containers against the standard ones, and how the data is kept (pool
// entries, paths, the dependency blocks of a list; the CI runs this under
// ASan, which catches a block freed while a set still points into it).
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
#include "harness/sandbox.h"

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

// Texts built from the pieces rpmvercmp treats specially: numbers with
// leading zeros, letters, separators, tilde and caret.
std::string randomEvrText(std::mt19937& rng, bool withRelease) {
    static const char* const kPieces[] = {"0",  "1", "2", "10", "01", "9", "a", "b",
                                          "rc", ".", ".", "_",  "+",  "~", "^", "alpha"};
    auto version = [&] {
        std::string text;
        for (unsigned n = 1 + rng() % 5; n > 0; --n) {
            text += kPieces[rng() % 16];
        }
        return text;
    };
    unsigned epoch = rng() % 4;
    std::string text = epoch > 1 ? std::to_string(epoch - 2) + ":" + version() : version();
    return withRelease ? text + "-" + version() : text;
}

// Signs of rpm's own comparison (rpm.vercmp in the rpm program's Lua), in one run.
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
    for (const std::string& line : splitLines(r.output)) {
        if (!line.empty()) {
            results.push_back(sign(std::stoi(line)));
        }
    }
    return results;
}

// The RPM library's own overlap test of two dependencies.
bool rpmOverlap(const Dependency& a, const Dependency& b) {
    auto single = [](rpmTagVal tag, const Dependency& d) {
        return std::unique_ptr<rpmds_s, rpmds (*)(rpmds)>(
            rpmdsSingle(tag, d.m_sName.c_str(), evrToString(d.m_evr).c_str(),
                        static_cast<rpmsenseFlags>(d.m_nFlags)),
            rpmdsFree);
    };
    return rpmdsCompare(single(RPMTAG_PROVIDENAME, a).get(), single(RPMTAG_REQUIRENAME, b).get());
}

template <typename A, typename B>
bool sameNames(const A& a, const B& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.m_sName == y.m_sName && x.m_evr.m_sVersion == y.m_evr.m_sVersion;
    });
}

}  // namespace

TEST(ParseEvr, ReadsEpochVersionAndReleaseAndLogsEachProblem) {
    const struct {
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
    for (const auto& c : cases) {
        LogCapture log;
        Evr evr = parseEvr(c.text);
        EXPECT_EQ(evr.m_nEpoch, c.epoch) << c.text;
        EXPECT_EQ(evr.m_sVersion, c.version) << c.text;
        EXPECT_EQ(evr.m_sRelease, c.release) << c.text;
        EXPECT_EQ(log.text(), *c.message ? std::string(c.message) + "\n" : "") << c.text;
    }
    // Any byte string is read without harm, and what is read is part of it.
    std::mt19937 rng(7);
    const std::string alphabet = ":-0123456789.~ ";
    LogCapture quiet(LogLevel::Fatal);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (unsigned n = rng() % 41; n > 0; --n) {
            unsigned b = rng() % 256;  // mostly the characters that matter, NUL included
            text += b < 200 ? alphabet[b % alphabet.size()] : static_cast<char>(b);
        }
        Evr evr = parseEvr(text);
        EXPECT_NE(text.find(evr.m_sVersion.view()), std::string::npos);
        EXPECT_NE(text.find(evr.m_sRelease.view()), std::string::npos);
    }
}

TEST(EvrText, TextFormsReadBackAndShowTheSense) {
    std::mt19937 rng(8);
    for (int i = 0; i < 500; ++i) {
        std::string text = randomEvrText(rng, i % 2 == 0);
        text = text.compare(0, 2, "0:") == 0 ? text.substr(2) : text;  // a zero epoch is not shown
        EXPECT_EQ(evrToString(parseEvr(text)), text);
    }
    Evr noVersion = parseEvr("3:-5");
    EXPECT_EQ(evrToString(noVersion), "");
    EXPECT_EQ(packageToString(makePackage("foo", "1:2.0-3")), "foo-1:2.0-3");
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

TEST(CompareEvr, AgreesWithTheRpmProgramOnGeneratedPairs) {
    std::mt19937 rng(12345);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 400; ++i) {
        // Mostly both with releases; some with one or both releases missing.
        unsigned mode = rng() % 4;
        std::string a = randomEvrText(rng, mode != 1);
        pairs.emplace_back(a, i % 5 == 0 ? a : randomEvrText(rng, mode != 2));
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
    EXPECT_GT(differences, 200);  // both outcomes are exercised
    EXPECT_GT(compareEvr(parseEvr("4294967295:1"), parseEvr("1:1")), 0);  // unsigned epochs
}

// A release on one side only, no version, no flags, a package's own
// capability: the table. Releases on both sides or neither: the RPM library.
TEST(DepMatches, RangesOverlapWhenSomeVersionSatisfiesBoth) {
    const struct {
        const char* a;
        const char* b;
        bool matches;
    } cases[] = {
        {"foo = 1.0", "foo = 1.0-5", true},  {"foo = 1.0-5", "foo = 1.0", true},
        {"foo = 1.2-1", "foo >= 1.2", true}, {"foo = 1.2-1", "foo < 1.2", false},
        {"foo < 2.0", "foo = 1.5-3", true},  {"foo < 2.0", "foo = 2.0-1", false},
        {"foo <= 2.0", "foo = 2.0-1", true}, {"foo ?8 ", "foo < 0.1", true},
        {"foo ?0 1.0", "foo > 7", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(depMatches(makeDep(c.a), makeDep(c.b)), c.matches) << c.a << " with " << c.b;
        EXPECT_EQ(depMatches(makeDep(c.b), makeDep(c.a)), c.matches) << c.b << " with " << c.a;
    }
    // Obsoletes are tested against a package as its exact capability.
    EXPECT_TRUE(depMatches(makeDep("foo < 2.0"), depFromPackage(makePackage("foo", "1.5-3"))));
    EXPECT_FALSE(depMatches(makeDep("foo < 2.0"), depFromPackage(makePackage("foo", "2.0-1"))));

    std::mt19937 rng(99);
    const char* const versions[] = {"1.0", "1.0.1", "2.0", "1:1.0", "0.9~rc1", "10"};
    const char* const releases[] = {"1", "2", "10", "1.el8"};
    int overlapping = 0;
    for (int i = 0; i < 3000; ++i) {
        auto make = [&](const char* name) {
            Dependency d = depFromName(name);
            d.m_evr = parseEvr(versions[rng() % 6] +
                               (i % 2 == 0 ? std::string("-") + releases[rng() % 4] : ""));
            d.m_nFlags = rng() % 16;
            return d;
        };
        Dependency a = make("cap");
        Dependency b = make(i % 50 == 0 ? "other" : "cap");
        bool ours = depMatches(a, b);
        EXPECT_EQ(ours, rpmOverlap(a, b)) << depToString(a) << " / " << depToString(b);
        EXPECT_EQ(ours, depMatches(b, a));
        overlapping += ours ? 1 : 0;
    }
    EXPECT_GT(overlapping, 750);
    EXPECT_LT(overlapping, 3000);
}

TEST(DependencySet, OrderedLikeAStdSetAndSearchableByName) {
    DependencySet set = makeDeps({"foo >= 1.0", "foo = 1.0", "bar", "foo < 0.5", "foo",
                                  "foo = 0:1.0", "fo", "foo.x", "foo = ~1", "foo >= 1.0"});
    std::vector<std::string> order;
    for (const Dependency& d : set) {
        order.push_back(depToString(d));
    }
    // Equal Evrs order by flags; a leading "~" orders before the empty version.
    EXPECT_EQ(order, (std::vector<std::string>{"bar", "fo", "foo = ~1", "foo", "foo < 0.5",
                                               "foo = 1.0", "foo >= 1.0", "foo.x"}));
    EXPECT_EQ(depToString(*set.lower_bound(depFromName("foo"))), "foo = ~1");
    auto range = set.rangeOfName("foo");
    EXPECT_EQ(range.second - range.first, 5);
    EXPECT_EQ(set.rangeOfName("fooo").first, set.rangeOfName("fooo").second);
    EXPECT_EQ(set.count(makeDep("foo = 1.0-0")), 0u);
    EXPECT_NE(set.find(makeDep("foo < 0.5")), set.end());
    EXPECT_EQ(set.find(makeDep("foo < 0.6")), set.end());
    // Erasing while walking one name, as the resolver does; the copy is independent.
    DependencySet copy = set;
    for (auto it = copy.firstOfName("foo"); it != copy.end() && it->m_sName == "foo";) {
        it = copy.erase(it);
    }
    EXPECT_EQ(copy, makeDeps({"bar", "fo", "foo.x"}));
    EXPECT_EQ(set.size(), 8u);

    std::mt19937 rng(4242);
    const char* const names[] = {"a", "b", "libc.so.6", "/bin/sh", "python3", "zz"};
    const char* const evrs[] = {"", "1.0", "1.0-1", "1:1.0", "2.0~rc1", "01.0", "1.0-1.1"};
    const uint32_t flagValues[] = {0, 2, 4, 8, 10, 12};
    for (int round = 0; round < 50; ++round) {
        DependencySet random;
        std::set<Dependency, decltype(&depLess)> reference(&depLess);
        for (int i = 0; i < 60; ++i) {
            Dependency d = depFromName(names[rng() % 6]);
            if (const char* evr = evrs[rng() % 7]; *evr != '\0') {
                d.m_evr = parseEvr(evr);
                d.m_nFlags = flagValues[rng() % 6];
            }
            if (i % 7 == 6) {
                EXPECT_EQ(random.erase(d), reference.erase(d));
            } else {
                EXPECT_EQ(random.insert(d).second, reference.insert(d).second);
            }
        }
        random.shrinkToFit();
        DependencySet moved = std::move(random);
        EXPECT_TRUE(std::equal(moved.begin(), moved.end(), reference.begin(), reference.end(),
                               [](const Dependency& x, const Dependency& y) {
                                   return !depLess(x, y) && !depLess(y, x);
                               }));
    }
}

TEST(PackageList, MatchesAStableMultisetUnderRandomInsertion) {
    std::mt19937 rng(2024);
    PackageList list;
    std::multiset<Package, PackageNameLess> reference;
    for (int i = 0; i < 3000; ++i) {
        // Names with bytes above 0x7f order after ASCII (unsigned bytes).
        unsigned k = rng() % 41;
        Package p = makePackage(
            k < 30 ? "pkg" + std::to_string(k) : std::string("\xc3\xa9") + char('a' + k),
            std::to_string(i) + ".0");
        list.insert(p);
        reference.insert(p);  // after existing entries of the name
        if (i % 500 == 0) {   // reads in between inserts see a sorted list
            ASSERT_TRUE(sameNames(list, reference));
        }
    }
    EXPECT_TRUE(sameNames(list, reference));
    auto range = list.equal_range("pkg0");
    EXPECT_EQ(static_cast<size_t>(range.second - range.first), list.count("pkg0"));
    EXPECT_EQ(&*list.find("pkg0"), &*range.first);
    EXPECT_EQ(list.find("pkg99"), list.end());
    EXPECT_EQ(std::prev(list.end())->m_sName.view().substr(0, 2), "\xc3\xa9");
}

TEST(PackageSet, UniqueByNameAndErasableWhileWalked) {
    PackageSet set;
    for (const char* name : {"foo", "bar", "aaa", "zzz"}) {
        EXPECT_TRUE(set.insert(makePackage(name, "1.0-1")).second);
    }
    auto failed = set.insert(makePackage("foo", "9.9-9"));
    EXPECT_FALSE(failed.second);
    EXPECT_EQ(packageToString(*failed.first), "foo-1.0-1");
    // Erasing other entries while walking the set, as the obsoletes check does.
    for (auto it = set.begin(); it != set.end(); ++it) {
        if (it->m_sName == "bar") {
            set.erase(set.find("zzz"));
            set.erase(set.find("aaa"));
        }
    }
    PackageSet snapshot;
    snapshot = set;
    set.clear();
    EXPECT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot.begin()->m_sName, "bar");
    EXPECT_EQ(snapshot.count(PooledString("bar")), 1u);
    EXPECT_EQ(snapshot.find(std::string("baz")), snapshot.end());
}

TEST(Package, CoreCopyDropsTheRepositoryPart) {
    Package p = makePackage("foo", "1:2.0-3", PackageType::VTXPKG);
    p.m_sGroup = "System";
    p.m_setProvides = makeDeps({"foo = 1:2.0-3"});
    p.m_setObsoletes = makeDeps({"old < 2"});
    p.m_sLocation = "Packages/foo.rpm";
    p.m_sCacheFile = "/var/cache/updater/packages/foo.rpm";
    p.m_checksum.m_sType = "sha256";
    p.m_checksum.m_sValue = "00";
    p.m_nInstalledSize = 42;
    Package core = packageCore(p);
    EXPECT_EQ(packageToString(core) + "|" + core.m_sGroup + "|" + core.m_sLocation + "|" +
                  core.m_sCacheFile + "|" + core.m_checksum.m_sType + "|" +
                  core.m_checksum.m_sValue + "|" + std::to_string(core.m_nInstalledSize),
              "foo-1:2.0-3|System|||||0");
    EXPECT_EQ(core.m_nType, PackageType::VTXPKG);
    EXPECT_EQ(core.m_setObsoletes, p.m_setObsoletes);
    EXPECT_EQ(core.m_setProvides, p.m_setProvides);
}

TEST(PooledString, EqualTextsShareOneEntryAndCompareAsUnsignedBytes) {
    PooledString a("libfoo.so.1()(64bit)");
    EXPECT_EQ(a.handle(), PooledString(std::string("libfoo.so.1()(64bit)")).handle());
    EXPECT_LT(PooledString("libfoo.so.1"), a);  // prefixes first
    EXPECT_LT(PooledString("z"), PooledString("\xc3\xa9"));
    EXPECT_LT(PooledString(), PooledString("a"));
    EXPECT_FALSE(PooledString("a") < PooledString("a"));
    EXPECT_TRUE(a.startsWith("libfoo"));
    EXPECT_FALSE(PooledString("abc").startsWith("abcd"));
    // Embedded NUL, and larger than a pool chunk.
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(PooledString(withNul).view(), withNul);
    EXPECT_NE(PooledString(withNul), PooledString("a"));
    std::string big(1 << 20, 'x');
    big[12345] = 'y';
    EXPECT_EQ(PooledString(big), PooledString(big));
    EXPECT_EQ(PooledString(big).view(), big);
    EXPECT_EQ(PooledString(big).c_str()[big.size()], '\0');
}

TEST(PooledString, TextsOfEveryLengthStayWholeWhileTheTableGrows) {
    std::vector<std::string> texts;
    std::vector<PooledString> pooled;
    std::vector<const char*> pointers;
    for (size_t n = 1; n < 600; ++n) {
        texts.push_back(std::string(n, static_cast<char>('a' + n % 26)) + std::to_string(n));
        pooled.emplace_back(texts.back());
        pointers.push_back(pooled.back().c_str());
    }
    // Texts taken where they lie (as from a mapped list image): a new one
    // stays there, one already in the pool keeps its handle; a block that is
    // not whole entries is refused with nothing taken.
    // Smaller than a page: the pages of taken blocks are given back to the
    // file they are mapped from, which memory of the heap is not.
    static std::string block;  // the pool refers to it for good
    const std::vector<std::string> blockTexts = {"taken-1", texts[0], std::string(300, 't')};
    for (const std::string& text : blockTexts) {
        const size_t at = block.size();
        block.resize(at + string_pool::entryBytes(text.size()));
        string_pool::writeEntry(text, &block[at]);
    }
    std::vector<uint32_t> handles;
    bool taken = false;
    ASSERT_FALSE(string_pool::internBlock(block.data(), block.size() - 1, handles, taken));
    EXPECT_TRUE(handles.empty() && !taken);
    ASSERT_TRUE(string_pool::internBlock(block.data(), block.size(), handles, taken));
    ASSERT_EQ(handles.size(), blockTexts.size());
    EXPECT_TRUE(taken);
    EXPECT_EQ(handles[1], pooled[0].handle());
    EXPECT_EQ(PooledString::fromHandle(handles[0]).c_str(), block.data() + 1);
    // Enough new texts to make the table grow, which walks every chunk.
    for (int i = 0; i < 300000; ++i) {
        PooledString("grow-" + std::to_string(i));
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(PooledString(texts[i]), pooled[i]) << texts[i].size();
        ASSERT_EQ(pooled[i].view(), texts[i]);
        ASSERT_EQ(pooled[i].c_str()[texts[i].size()], '\0');
        ASSERT_EQ(pooled[i].c_str(), pointers[i]);  // never moved
    }
    for (size_t i = 0; i < blockTexts.size(); ++i) {
        EXPECT_EQ(PooledString(blockTexts[i]).handle(), handles[i]) << i;
    }
}

TEST(PooledPath, SplitsAtTheLastSlashAndComparesAsText) {
    const struct {
        const char* text;
        const char* dir;
        const char* base;
    } cases[] = {
        {"", "", ""},         {"a.rpm", "", "a.rpm"},         {"/", "/", ""},
        {"p/a/", "p/a/", ""}, {"p/a/b.rpm", "p/a/", "b.rpm"}, {"/cache/b.rpm", "/cache/", "b.rpm"}};
    for (const auto& c : cases) {
        PooledPath path(c.text);
        EXPECT_EQ(path.dir(), c.dir) << c.text;
        EXPECT_EQ(path.base(), c.base) << c.text;
        EXPECT_TRUE(path == c.text);
        EXPECT_EQ(path.size(), std::string(c.text).size());
        EXPECT_EQ(path, PooledPath(PooledString(c.dir), PooledString(c.base)));
        EXPECT_EQ("x/" + path, "x/" + std::string(c.text));
    }
    EXPECT_FALSE(PooledPath("p/a/b.rpm") == "p/a/b.rp");
    EXPECT_FALSE(PooledPath("p/a/b.rpm") == "p/ab.rpm");
    EXPECT_NE(PooledPath("p/b.rpm"), PooledPath("q/b.rpm"));
}

// Copies, moves, a package taken out, a failed read taken back and a clear
// leave the dependency arrays of the list whole.
TEST(PackageList, DependencyArraysOutliveCopiesMovesAndClears) {
    auto fill = [](PackageList& list, int count, const std::string& prefix) {
        for (int i = count; i-- > 0;) {  // backwards: the list sorts itself
            Package p = makePackage(prefix + std::to_string(i), "1.0-" + std::to_string(i));
            p.m_sLocation = "Packages/" + prefix + ".rpm";
            p.m_sCacheFile = "/cache/" + prefix + ".rpm";
            for (int d = 0; d < i % 7; ++d) {
                p.m_setRequires.insert(depFromName("lib" + std::to_string(d * i)));
            }
            // Larger than a block of the list: stays on the heap.
            for (int d = 0; d < (i == 3 ? 5000 : 1); ++d) {
                p.m_setProvides.insert(depFromName("cap" + std::to_string(d)));
            }
            list.insert(p);
        }
    };
    auto text = [](const PackageList& list) {
        std::string text;
        for (const Package& p : list) {
            text += packageToString(p) + " " + p.m_sLocation.str() + " " + p.m_sCacheFile.str();
            for (const DependencySet* set : {&p.m_setRequires, &p.m_setProvides}) {
                for (const Dependency& d : *set) {
                    text += " " + depToString(d);
                }
                text += ";";
            }
            text += "\n";
        }
        return text;
    };
    PackageList list;
    fill(list, 3000, "a");
    const std::string expected = text(list);
    PackageList copy(list);
    PackageList assigned;
    fill(assigned, 10, "b");
    assigned = list;
    PackageList moved(std::move(copy));
    PackageList moveAssigned;
    fill(moveAssigned, 10, "c");
    moveAssigned = std::move(assigned);
    EXPECT_EQ(text(moved), expected);
    EXPECT_EQ(text(moveAssigned), expected);
    Package taken = *list.find("a6");
    taken.m_setRequires.insert(depFromName("zzz"));
    taken.m_setRequires.erase(taken.m_setRequires.begin());
    EXPECT_EQ(text(list), expected);
    const size_t before = list.size();
    fill(list, 5, "d");
    list.truncate(before);
    EXPECT_EQ(text(list), expected);
    list.clear();
    fill(list, 3000, "a");
    EXPECT_EQ(text(list), expected);
}
