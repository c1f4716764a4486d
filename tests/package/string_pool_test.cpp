#include "package/string_pool.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <unordered_set>
#include <vector>

TEST(PooledString, EqualTextsShareOneHandleAndCompareByteWise) {
    PooledString a("libfoo.so.1()(64bit)");
    PooledString b(std::string("libfoo.so.1()(64bit)"));
    PooledString c("libfoo.so.1");
    EXPECT_EQ(a.handle(), b.handle());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a, "libfoo.so.1()(64bit)");
    EXPECT_EQ(std::string("libfoo.so.1"), c);
    EXPECT_EQ(a.size(), 20u);
    EXPECT_STREQ(a.c_str(), "libfoo.so.1()(64bit)");

    // Prefixes first; bytes compare unsigned.
    EXPECT_LT(c, a);
    EXPECT_LT(PooledString("z"), PooledString("\xc3\xa9"));
    EXPECT_LT(PooledString(""), PooledString("a"));
    EXPECT_FALSE(PooledString("a") < PooledString("a"));

    PooledString empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty, PooledString(""));
    EXPECT_STREQ(empty.c_str(), "");
    EXPECT_EQ(empty.size(), 0u);

    PooledString x;
    x = std::string("abc");
    EXPECT_EQ(x.str() + "d", "abcd");
    EXPECT_EQ("<" + x + ">", "<abc>");
    EXPECT_TRUE(x.startsWith("ab"));
    EXPECT_FALSE(x.startsWith("abcd"));
    std::string converted = x;
    EXPECT_EQ(converted, "abc");
    converted = PooledString("def");
    EXPECT_EQ(converted, "def");
    std::string_view view = x;
    EXPECT_EQ(view, "abc");
    x.clear();
    EXPECT_TRUE(x.empty());
}

TEST(PooledString, EmbeddedNulAndLargeTextsAreKeptWhole) {
    std::string withNul("a\0b", 3);
    PooledString n(withNul);
    EXPECT_EQ(n.size(), 3u);
    EXPECT_EQ(n.view(), withNul);
    EXPECT_NE(n, PooledString("a"));

    // Larger than a pool chunk.
    std::string big(1 << 20, 'x');
    big[12345] = 'y';
    PooledString b1(big);
    PooledString b2(big);
    EXPECT_EQ(b1, b2);
    EXPECT_EQ(b1.view(), big);
    EXPECT_EQ(b1.c_str()[big.size()], '\0');
}

TEST(PooledString, ManyTextsStayValidWhileThePoolGrows) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> length(1, 60);
    std::uniform_int_distribution<int> byte('!', '~');
    std::vector<std::string> texts;
    std::vector<PooledString> pooled;
    std::vector<const char*> pointers;
    for (int i = 0; i < 200000; ++i) {
        std::string t = std::to_string(i % 150000) + ":";
        int n = i % 3 == 0 ? length(rng) : 0;
        for (int j = 0; j < n; ++j) {
            t += static_cast<char>(byte(rng));
        }
        texts.push_back(t);
        pooled.emplace_back(t);
        pointers.push_back(pooled.back().c_str());
    }
    std::unordered_set<std::string> distinctTexts(texts.begin(), texts.end());
    std::unordered_set<uint32_t> distinctHandles;
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(pooled[i].view(), texts[i]);
        ASSERT_EQ(pooled[i].c_str(), pointers[i]);  // never moved
        ASSERT_EQ(PooledString(texts[i]), pooled[i]);
        distinctHandles.insert(pooled[i].handle());
    }
    EXPECT_EQ(distinctHandles.size(), distinctTexts.size());
    string_pool::Stats stats = string_pool::stats();
    EXPECT_GE(stats.m_nStrings, distinctTexts.size());
    EXPECT_GT(stats.m_nChunkBytes, stats.m_nTextBytes);
}
