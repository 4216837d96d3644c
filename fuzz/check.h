#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant that does not hold is a finding: print it and abort, so libFuzzer keeps the input as a crash file.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond);                          \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
