// SPDX-License-Identifier: GPL-3.0-or-later
// A check that stops the fuzzer with a report when an invariant of the
// code under test does not hold: libFuzzer saves the input that did it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

// The four characters that trimming removes from both ends of a text.
inline bool fuzz_is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
