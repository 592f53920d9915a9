// findMinimum and removeDuplicates over the caller's array of doubles.
#include "ffiref.h"

#include <cstdint>
#include <cstring>

extern "C" {

FFIREF_API double FFIREF_CDECL findMinimum(const double *array, int32_t count) {
    double minimum = array[0];
    for (int32_t i = 1; i < count; ++i) {
        // A NaN compares false either way, so it never replaces a minimum and
        // a NaN at index 0 is never replaced; equal zeros keep the first.
        if (array[i] < minimum) {
            minimum = array[i];
        }
    }
    return minimum;
}

FFIREF_API void FFIREF_CDECL removeDuplicates(double *array, int32_t *count) {
    const int32_t total = *count;
    if (total <= 0) {
        return;
    }
    // An element survives when no earlier survivor equals it; IEEE equality
    // is transitive apart from NaN, which equals nothing and always survives.
    int32_t kept = 0;
    for (int32_t i = 0; i < total; ++i) {
        const double candidate = array[i];
        bool repeated = false;
        for (int32_t j = 0; j < kept && !repeated; ++j) {
            repeated = array[j] == candidate;
        }
        if (!repeated) {
            if (kept != i) {
                // Copy the bits: a floating-point store could quiet a NaN.
                std::memcpy(&array[kept], &array[i], sizeof(double));
            }
            ++kept;
        }
    }
    *count = kept;
}

} // extern "C"
