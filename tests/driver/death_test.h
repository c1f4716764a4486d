// For gtest death tests: in the child, gtest's assertions do not reach the
// parent, so a failed requirement ends the child with an exit code that no
// case expects.
#pragma once

#include <unistd.h>

#include <cstdio>

#define REQUIRE(condition)                                           \
    do {                                                             \
        if (!(condition)) {                                          \
            fprintf(stderr, "requirement failed: %s\n", #condition); \
            _exit(99);                                               \
        }                                                            \
    } while (0)
