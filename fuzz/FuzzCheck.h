#pragma once
// A broken invariant in a fuzz target ends the process with a message, so that the fuzzer keeps
// the input and the corpus replay fails on it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size);
