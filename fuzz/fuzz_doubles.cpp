// findMinimum and removeDuplicates against models, on arrays of up to 64
// doubles (now and then up to 2200) drawn as raw bit patterns, special values (NaNs with payloads,
// both infinities, both zeros, subnormals) and repeats of earlier elements, with counts from -3 to
// the array's length.
//
// The models, from the documented behaviour (IEEE comparisons throughout):
// - findMinimum: element 0, replaced by every later element that is less
//   than the current minimum; returned with its bits.
// - removeDuplicates: count <= 0 changes nothing; otherwise the first
//   occurrence of every value not equal to an earlier kept one, in order,
//   with its bits, and their number as the new count. Nothing at or past the
//   count on entry is read or written.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

using namespace ffiref_fuzz;

namespace {

double fromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A value for element `index`; repeats come from the elements before it.
double randomValue(FuzzedDataProvider &input, const std::vector<double> &values,
                   std::size_t index) {
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return fromBits(input.ConsumeIntegral<uint64_t>());
    case 1: { // exponent all ones: infinities and NaNs of every payload and sign
        const uint64_t sign = input.ConsumeBool() ? 0x8000000000000000u : 0;
        return fromBits(sign | 0x7FF0000000000000u |
                        input.ConsumeIntegralInRange<uint64_t>(0, 0xFFFFFFFFFFFFFu));
    }
    case 2: { // exponent zero: both zeros and subnormals
        const uint64_t sign = input.ConsumeBool() ? 0x8000000000000000u : 0;
        return fromBits(sign | input.ConsumeIntegralInRange<uint64_t>(0, 3));
    }
    case 3:
        return static_cast<double>(input.ConsumeIntegralInRange(-3, 3));
    default:
        return index > 0 ? values[input.ConsumeIntegralInRange<std::size_t>(0, index - 1)] : 0.0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const auto findMinimum = FFIREF(findMinimum);
    static const auto removeDuplicates = FFIREF(removeDuplicates);

    FuzzedDataProvider input(data, size);
    std::vector<double> values;
    if (input.ConsumeIntegralInRange(0, 7) != 0) {
        values.resize(input.ConsumeIntegralInRange(1, 64));
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = randomValue(input, values, i);
        }
    } else {
        // Long arrays, past any block or chunk size a fast implementation may
        // pick: a short palette repeated, then a few values placed anywhere.
        std::vector<double> palette(input.ConsumeIntegralInRange(1, 16));
        for (std::size_t i = 0; i < palette.size(); ++i) {
            palette[i] = randomValue(input, palette, i);
        }
        values.resize(input.ConsumeIntegralInRange(65, 2200));
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = palette[i % palette.size()];
        }
        for (int placed = input.ConsumeIntegralInRange(0, 8); placed > 0; --placed) {
            const auto at = input.ConsumeIntegralInRange<std::size_t>(0, values.size() - 1);
            values[at] = randomValue(input, values, values.size());
        }
    }
    const auto length = static_cast<int32_t>(values.size());
    const int32_t count = input.ConsumeIntegralInRange(-3, length);

    // findMinimum, on an array of exactly its length
    double minimum = values[0];
    for (int32_t i = 1; i < count; ++i) {
        if (values[i] < minimum) {
            minimum = values[i];
        }
    }
    // At a 16-byte boundary or 8 bytes past one: both alignments a double
    // array may have.
    Guarded read(values.size() * sizeof(double), input.ConsumeBool() ? 8 : 0);
    std::memcpy(read.data(), values.data(), values.size() * sizeof(double));
    expect(sameBits(findMinimum(read.as<double>(), count), minimum), "findMinimum: wrong result");
    expect(read.intact() &&
               std::memcmp(read.data(), values.data(), values.size() * sizeof(double)) == 0,
           "findMinimum changed the array");

    // removeDuplicates, with guard bytes around the array and the count
    std::vector<double> kept;
    for (int32_t i = 0; i < count; ++i) {
        bool repeated = false;
        for (double value : kept) {
            repeated = repeated || value == values[i];
        }
        if (!repeated) {
            kept.push_back(values[i]);
        }
    }
    Guarded array(values.size() * sizeof(double), input.ConsumeBool() ? 8 : 0);
    std::memcpy(array.data(), values.data(), values.size() * sizeof(double));
    Guarded counter(sizeof(int32_t));
    std::memcpy(counter.data(), &count, sizeof count);
    removeDuplicates(array.as<double>(), counter.as<int32_t>());
    expect(array.intact() && counter.intact(), "removeDuplicates wrote outside its memory");
    int32_t newCount;
    std::memcpy(&newCount, counter.data(), sizeof newCount);
    const unsigned char *after = array.data();
    const auto *original = reinterpret_cast<const unsigned char *>(values.data());
    if (count <= 0) {
        expect(newCount == count, "removeDuplicates changed a count <= 0");
        expect(std::memcmp(after, original, values.size() * sizeof(double)) == 0,
               "removeDuplicates touched the array for a count <= 0");
        return 0;
    }
    expect(newCount == static_cast<int32_t>(kept.size()), "removeDuplicates: wrong count");
    expect(kept.empty() || std::memcmp(after, kept.data(), kept.size() * sizeof(double)) == 0,
           "removeDuplicates: wrong survivors");
    const std::size_t untouched = static_cast<std::size_t>(count) * sizeof(double);
    expect(std::memcmp(after + untouched, original + untouched,
                       values.size() * sizeof(double) - untouched) == 0,
           "removeDuplicates wrote past the count");
    return 0;
}
