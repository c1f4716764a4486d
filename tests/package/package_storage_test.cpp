// How the package model keeps its data: pool entries around the one-byte
// length, paths as directory and file name, and the dependency arrays a
// PackageList keeps in blocks of its own (run under ASan by the CI, which
// catches a block freed while a set still points into it).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "package/package.h"

namespace {

TEST(StringPool, TextsOfEveryLengthStayWholeWhileTheTableGrows) {
    std::vector<std::string> texts;
    std::vector<PooledString> pooled;
    std::vector<const char*> pointers;
    for (size_t n = 1; n < 600; ++n) {
        texts.push_back(std::string(n, static_cast<char>('a' + n % 26)) + std::to_string(n));
        pooled.emplace_back(texts.back());
        pointers.push_back(pooled.back().c_str());
    }
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
        EXPECT_EQ(path.str(), c.text);
        EXPECT_TRUE(path == c.text);
        EXPECT_EQ(path.size(), std::string(c.text).size());
        EXPECT_EQ(path.empty(), std::string(c.text).empty());
        EXPECT_EQ(path, PooledPath(PooledString(c.dir), PooledString(c.base)));
        EXPECT_EQ("x/" + path, "x/" + std::string(c.text));
    }
    EXPECT_FALSE(PooledPath("p/a/b.rpm") == "p/a/b.rp");
    EXPECT_FALSE(PooledPath("p/a/b.rpm") == "p/ab.rpm");
    EXPECT_NE(PooledPath("p/b.rpm"), PooledPath("q/b.rpm"));
}

std::string listText(const PackageList& list) {
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
}

TEST(PackageList, DependencyArraysOfTheListOutliveCopiesMovesAndClears) {
    auto fill = [](PackageList& list, int count, const std::string& prefix) {
        for (int i = count; i-- > 0;) {  // backwards: the list sorts itself
            Package p;
            p.m_sName = prefix + std::to_string(i);
            p.m_evr = parseEvr("1.0-" + std::to_string(i));
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
    PackageList list;
    fill(list, 3000, "a");
    const std::string expected = listText(list);

    PackageList copy(list);
    PackageList assigned;
    fill(assigned, 10, "b");
    assigned = list;
    PackageList moved(std::move(copy));
    PackageList moveAssigned;
    fill(moveAssigned, 10, "c");
    moveAssigned = std::move(assigned);
    EXPECT_EQ(listText(moved), expected);
    EXPECT_EQ(listText(moveAssigned), expected);

    // A package taken out of the list is a copy of its own.
    Package taken = *list.find("a6");
    taken.m_setRequires.insert(depFromName("zzz"));
    taken.m_setRequires.erase(taken.m_setRequires.begin());
    EXPECT_EQ(listText(list), expected);

    // A read that failed takes its packages back.
    const size_t before = list.size();
    fill(list, 5, "d");
    list.truncate(before);
    EXPECT_EQ(listText(list), expected);
    list.clear();
    fill(list, 3000, "a");
    EXPECT_EQ(listText(list), expected);
}

}  // namespace
