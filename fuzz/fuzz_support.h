// What every fuzz target shares: the library loaded by path, guard bytes
// around outputs, and a loud stop when the library and the model disagree.
#pragma once

#include "guarded_memory.h"
#include "library.h"

#include <cstdio>
#include <cstdlib>

namespace ffiref_fuzz {

using ffiref_test::Guarded;

// A disagreement is a crash, so that libFuzzer keeps the input.
[[noreturn]] inline void disagree(const char *what) {
    std::fprintf(stderr, "library and model disagree: %s\n", what);
    std::abort();
}

inline void expect(bool agreed, const char *what) {
    if (!agreed) {
        disagree(what);
    }
}

} // namespace ffiref_fuzz
