// The packed-record copies, the bit-field sum and findValueByKey against
// models, on random bytes at random (also odd) addresses, with source and
// destination the same record now and then.
//
// The models, from the documented behaviour:
// - copySampleStructure, copyUnionStructure: the destination's 36 or 5 bytes
//   equal the source's, nothing around them changes, the source stays as it
//   was; a record copied onto itself is unchanged.
// - calculateSunFromBitStructure: the five fields read from the three bytes in
//   the platform's native allocation (see the header), added up.
// - findValueByKey: the value of the last of the first count records whose
//   key equals the one asked for; NULL when none does or count <= 0.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace ffiref_fuzz;

namespace {

int32_t bitSum(const unsigned char bytes[3]) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (bytes[0] >> 7) + ((bytes[0] >> 5) & 3) + ((bytes[0] >> 2) & 7) + (bytes[0] & 3) +
           (bytes[1] << 2 | bytes[2] >> 6);
#else
    return (bytes[0] & 1) + ((bytes[0] >> 1) & 3) + ((bytes[0] >> 3) & 7) + (bytes[0] >> 6) +
           (bytes[1] | (bytes[2] & 3) << 8);
#endif
}

template <typename Record, typename Copy>
void checkCopy(FuzzedDataProvider &input, Copy copy, const char *name) {
    const std::vector<unsigned char> bytes = input.ConsumeBytes<unsigned char>(sizeof(Record));
    unsigned char source[sizeof(Record)] = {};
    std::copy(bytes.begin(), bytes.end(), source);

    if (input.ConsumeBool()) { // onto itself
        Guarded record(sizeof(Record), input.ConsumeIntegralInRange(0, 7));
        std::memcpy(record.data(), source, sizeof source);
        copy(record.as<Record>(), record.as<Record>());
        expect(record.intact(), name);
        expect(std::memcmp(record.data(), source, sizeof source) == 0, name);
        return;
    }
    Guarded from(sizeof(Record), input.ConsumeIntegralInRange(0, 7));
    std::memcpy(from.data(), source, sizeof source);
    Guarded to(sizeof(Record), input.ConsumeIntegralInRange(0, 7),
               input.ConsumeIntegral<unsigned char>());
    copy(from.as<Record>(), to.as<Record>());
    expect(from.intact() && to.intact(), name);
    expect(std::memcmp(from.data(), source, sizeof source) == 0, name);
    expect(std::memcmp(to.data(), source, sizeof source) == 0, name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const auto copySampleStructure = FFIREF(copySampleStructure);
    static const auto copyUnionStructure = FFIREF(copyUnionStructure);
    static const auto calculateSunFromBitStructure = FFIREF(calculateSunFromBitStructure);
    static const auto findValueByKey = FFIREF(findValueByKey);

    FuzzedDataProvider input(data, size);
    checkCopy<SampleStructure>(input, copySampleStructure, "copySampleStructure");
    checkCopy<UnionStructure>(input, copyUnionStructure, "copyUnionStructure");

    // The three bytes in an allocation of exactly three bytes.
    std::vector<unsigned char> bits = input.ConsumeBytes<unsigned char>(3);
    bits.resize(3);
    bits.shrink_to_fit();
    const std::vector<unsigned char> bitsBefore = bits;
    expect(calculateSunFromBitStructure(reinterpret_cast<const BitStructure *>(bits.data())) ==
               bitSum(bits.data()),
           "calculateSunFromBitStructure: wrong sum");
    expect(bits == bitsBefore, "calculateSunFromBitStructure changed its record");

    // Few distinct keys, so that matches are common; every value a distinct
    // address (or null), so that the record it came from shows.
    static const char values[16] = {};
    const int length = input.ConsumeIntegralInRange(0, 16);
    std::vector<int32_t> keys(length);
    std::vector<KeyValueStructure> records(length);
    for (int i = 0; i < length; ++i) {
        keys[i] = input.ConsumeIntegralInRange(-2, 2);
        records[i] = {&keys[i], input.ConsumeBool() ? nullptr : values + i};
    }
    const int32_t count = input.ConsumeIntegralInRange(-2, length);
    const int32_t key = input.ConsumeIntegralInRange(-2, 2);
    const char *expected = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        if (keys[i] == key) {
            expected = records[i].value;
        }
    }
    // A record past the last one whose key would crash if it were read; it
    // also gives the array the one record it needs when count is <= 0.
    records.push_back({nullptr, nullptr});
    expect(findValueByKey(records.data(), count, key) == expected, "findValueByKey: wrong value");
    return 0;
}
