// The program's random generator: its draws as documented (minimal-standard
// outputs put into equal buckets, outputs past the last full bucket drawn
// again), both ends of a range, and seeding from /dev/urandom.
#include "support/random.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

std::vector<int64_t> startDelayDraws() {
    return {randomUniform(0, 3600), randomUniform(0, 999999999), randomUniform(0, 3600),
            randomUniform(0, 999999999)};
}

TEST(Random, DrawsAreTheDocumentedOnesAndReachBothEndsOfTheRange) {
    // The second draw rejects one output.
    setRandomStateForTesting(123456789);
    EXPECT_EQ(startDelayDraws(), (std::vector<int64_t>{786, 890678757, 2022, 445932582}));
    setRandomStateForTesting(0);  // taken as 1
    EXPECT_EQ(randomUniform(0, 100000), 0);
    EXPECT_EQ(randomUniform(0, 100000), 13154);

    std::set<int64_t> seen;
    for (int i = 0; i < 100; ++i) {
        seen.insert(randomUniform(0, 2));
    }
    EXPECT_EQ(seen, (std::set<int64_t>{0, 1, 2}));
    EXPECT_EQ(randomUniform(7, 7), 7);
}

TEST(Random, EachSeedingTakesNewDataFromTheSystem) {
    std::vector<int64_t> draws[2];
    for (std::vector<int64_t>& d : draws) {
        setRandomStateForTesting(1);
        ASSERT_TRUE(seedRandom());
        d = startDelayDraws();
    }
    EXPECT_NE(draws[0], draws[1]);
}

}  // namespace
