#pragma once

#include <cstdio>
#include <cstdlib>

// Q_ASSERT vanishes in release builds and the fuzzers are built optimised: a broken promise
// must still abort, so that libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition, ...)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__,  \
                         #condition);                                                     \
            std::fprintf(stderr, __VA_ARGS__);                                            \
            std::fputc('\n', stderr);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)
