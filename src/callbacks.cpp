// calculateSum, createArray and fillArray: calls back into the caller.
#include "ffiref.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace {
constexpr char kReportLine[] = "array[%d] = %d should be %d \n";
} // namespace

extern "C" {

FFIREF_API int32_t FFIREF_CDECL calculateSum(CalculateSumCallback callback, int32_t operand) {
    return callback(operand);
}

FFIREF_API int32_t *FFIREF_CDECL createArray(int32_t first, int32_t second, int32_t third,
                                             CreateArrayCallback callback) {
    int32_t *slot = nullptr;
    callback(first, second, third, &slot);
    return slot;
}

FFIREF_API int32_t FFIREF_CDECL fillArray(int32_t start, int32_t count,
                                          FillArrayCallback callback) {
    // A negative count gets an empty array rather than a failing allocation;
    // unique_ptr releases it even when the callback throws.
    const std::unique_ptr<int32_t[]> array(new int32_t[count > 0 ? count : 0]);
    callback(start, count, array.get());

    int32_t verdict = 1;
    for (int32_t i = 0; i < count; ++i) {
        const auto expected =
            static_cast<int32_t>(static_cast<uint32_t>(start) + static_cast<uint32_t>(i));
#if defined(_WIN32)
        // MinGW's printf for C++ flushes stdout on every call, and the lines
        // belong in its buffer: format first, then write with fputs.
        char line[64];
        std::snprintf(line, sizeof line, kReportLine, i, array[i], expected);
        std::fputs(line, stdout);
#else
        std::printf(kReportLine, i, array[i], expected);
#endif
        // Read again after printing: the array escaped to the callback.
        if (array[i] != expected) {
            verdict = 0;
        }
    }
    return verdict;
}

} // extern "C"
