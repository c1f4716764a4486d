// The program's random numbers: one minimal-standard generator (multiplier
// 16807, modulus 2^31 - 1) draws the spread of the fetch retry waits and the
// random start delay of an update run. Its state is 1 until it is seeded.
#pragma once

#include <cstdint>

// Seeds the generator from 8 bytes of /dev/urandom, taken as an unsigned
// 64-bit number in host order and reduced modulo 2^31 - 1 (0 becomes 1).
// False, with the state unchanged, when no random data could be read.
bool seedRandom();

// A uniform whole number from min to max, both included.
int64_t randomUniform(int64_t min, int64_t max);

// Test seam: sets the generator's state (0 becomes 1).
void setRandomStateForTesting(uint32_t state);
