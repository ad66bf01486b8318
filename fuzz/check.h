#pragma once
// A property every fuzz target asserts: a failed one aborts with its condition and place,
// which libFuzzer reports as a crash with the input that caused it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
