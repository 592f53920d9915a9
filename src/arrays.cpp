// findMinimum and removeDuplicates over the caller's array of doubles.
#include "ffiref.h"

#include <cstdint>
#include <cstring>

namespace {

// Two doubles that the compiler keeps in one SIMD register where the target
// has one (SSE2, NEON on aarch64) and splits into scalars elsewhere, so the
// same code is exact on every ABI. No function takes or returns one by value:
// that would depend on the target's vector ABI.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef int64_t PairMask __attribute__((vector_size(2 * sizeof(int64_t))));

void loadPair(Pair &pair, const double *from) {
    std::memcpy(&pair, from, sizeof pair);
}

constexpr int32_t kMinimumPairs = 8;
constexpr int32_t kMinimumBlock = 2 * kMinimumPairs;
// Zeros are looked for once per chunk, outside the hot loop.
constexpr int32_t kMinimumChunk = 64 * kMinimumBlock;

// Folds block[0..kMinimumBlock) into the running minima: `x < m ? x : m`
// never takes a NaN, and no minimum starts as one. Eight independent pairs
// hide the latency of the compare and keep the loads streaming.
void foldBlock(Pair (&lanes)[kMinimumPairs], const double *block) {
#pragma GCC unroll 8
    for (int32_t k = 0; k < kMinimumPairs; ++k) {
        Pair x;
        loadPair(x, block + 2 * k);
        lanes[k] = x < lanes[k] ? x : lanes[k];
    }
}

// Whether any of values[0..count) equals value; blocks of eight compares
// without a branch between them.
bool occursIn(const double *values, int32_t count, double value) {
    constexpr int32_t kPairs = 4;
    constexpr int32_t kBlock = 2 * kPairs;
    const Pair wanted = {value, value};
    int32_t j = 0;
    for (; count - j >= kBlock; j += kBlock) {
        PairMask equal = {0, 0};
#pragma GCC unroll 4
        for (int32_t k = 0; k < kPairs; ++k) {
            Pair x;
            loadPair(x, values + j + 2 * k);
            equal |= x == wanted;
        }
        if ((equal[0] | equal[1]) != 0) {
            return true;
        }
    }
    for (; j < count; ++j) {
        if (values[j] == value) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

FFIREF_API double FFIREF_CDECL findMinimum(const double *array, int32_t count) {
    // Element 0 is read whatever the count; a NaN there is never replaced,
    // since nothing compares less than it.
    const double first = array[0];
    if (count <= 1 || first != first) {
        return first;
    }
    // Only a strictly smaller element replaces the minimum, so the result is
    // the first element that attains the smallest value. The value itself is
    // found in any order; only +0.0 and -0.0 are equal with different bits,
    // so the one pass also settles the first zero, which decides the sign
    // when the smallest value is a zero.
    Pair lanes[kMinimumPairs];
    for (Pair &lane : lanes) {
        lane = Pair{first, first};
    }
    double minimum = first;
    double firstZero = first;
    // Settled at once when element 0 is the first zero, or is negative: a
    // negative minimum makes zeros moot.
    bool zerosSettled = first <= 0.0;
    int32_t i = 1;
    auto fold = [&](double x) {
        if (!zerosSettled && x == 0.0) {
            firstZero = x;
            zerosSettled = true;
        }
        minimum = x < minimum ? x : minimum;
    };
    // Whole blocks start on a 16-byte boundary when the array is 8-byte
    // aligned, so that no pair straddles two cache lines.
    if (i < count && reinterpret_cast<std::uintptr_t>(array + i) % sizeof(Pair) == sizeof(double)) {
        fold(array[i]);
        ++i;
    }
    while (count - i >= kMinimumBlock) {
        const int32_t chunkStart = i;
        const int32_t chunkEnd = count - i >= kMinimumChunk ? i + kMinimumChunk : count;
        for (; chunkEnd - i >= kMinimumBlock; i += kMinimumBlock) {
            foldBlock(lanes, array + i);
        }
        if (!zerosSettled) {
            // Every minimum was positive before this chunk: a zero among them
            // now is the array's first zero, unless a negative came with it.
            bool negative = false;
            bool zero = false;
            for (const Pair &lane : lanes) {
                negative = negative || lane[0] < 0.0 || lane[1] < 0.0;
                zero = zero || lane[0] == 0.0 || lane[1] == 0.0;
            }
            if (zero && !negative) {
                int32_t z = chunkStart;
                while (!(array[z] == 0.0)) {
                    ++z;
                }
                firstZero = array[z];
            }
            zerosSettled = negative || zero;
        }
    }
    for (const Pair &lane : lanes) {
        minimum = lane[0] < minimum ? lane[0] : minimum;
        minimum = lane[1] < minimum ? lane[1] : minimum;
    }
    for (; i < count; ++i) {
        fold(array[i]);
    }
    return minimum == 0.0 ? firstZero : minimum;
}

FFIREF_API void FFIREF_CDECL removeDuplicates(double *array, int32_t *count) {
    const int32_t total = *count;
    if (total <= 0) {
        return;
    }
    // An element survives when no earlier survivor equals it: IEEE equality
    // is transitive apart from NaN, which equals nothing and always survives,
    // so this keeps exactly the elements that removing each later equal one
    // in turn would keep, in the same order. The survivors sit packed at the
    // front, so each element is compared with them alone.
    int32_t kept = 0;
    for (int32_t i = 0; i < total; ++i) {
        if (!occursIn(array, kept, array[i])) {
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
