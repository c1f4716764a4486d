#include "support/random.h"

#include <random>

#include "support/system.h"

namespace {

std::minstd_rand0& generator() {
    static std::minstd_rand0 s_generator{1};
    return s_generator;
}

}  // namespace

bool seedRandom() {
    uint64_t seed = 0;
    if (!getRandomBytes(&seed, sizeof(seed))) {
        return false;
    }
    // The engine takes a seed of 0 (modulo its modulus) as 1.
    generator().seed(
        static_cast<std::minstd_rand0::result_type>(seed % std::minstd_rand0::modulus));
    return true;
}

// libstdc++ maps this generator's outputs (1 to 2^31 - 2) onto the range in
// buckets of equal size, drawing again past the last full bucket.
int64_t randomUniform(int64_t min, int64_t max) {
    return std::uniform_int_distribution<int64_t>(min, max)(generator());
}

void setRandomStateForTesting(uint32_t state) {
    generator().seed(state);
}
