// A check that holds in every fuzz run: when it fails, the fuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_check_failed(const char* file, int line, const char* condition) {
    (void)std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition)                                  \
    do {                                                       \
        if (!(condition)) {                                    \
            fuzz_check_failed(__FILE__, __LINE__, #condition); \
        }                                                      \
    } while (false)
