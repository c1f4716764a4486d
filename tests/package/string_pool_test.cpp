#include "package/string_pool.h"

#include <gtest/gtest.h>

#include <string>

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

    PooledString x("abc");
    EXPECT_TRUE(x.startsWith("ab"));
    EXPECT_FALSE(x.startsWith("abcd"));
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
