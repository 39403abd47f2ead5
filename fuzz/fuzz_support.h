// What the fuzz targets share.
#pragma once

#include <cstdio>
#include <cstdlib>

// A property that does not hold: say which, and crash so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                               \
        }                                                                               \
    } while (false)
