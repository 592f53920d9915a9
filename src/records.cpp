// Packed records, key-value records and linked nodes.
#include "ffiref.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kDaysOfTheYear[] = " days of the year.";

// Owns a partly built chain so that a failed allocation releases it.
struct ChainUnderConstruction {
    LinkedStructure *head = nullptr;
    ChainUnderConstruction() = default;
    ChainUnderConstruction(const ChainUnderConstruction &) = delete;
    ChainUnderConstruction &operator=(const ChainUnderConstruction &) = delete;
    ~ChainUnderConstruction() {
        while (head != nullptr) {
            LinkedStructure *next = head->next;
            delete head;
            head = next;
        }
    }
    LinkedStructure *release() {
        LinkedStructure *chain = head;
        head = nullptr;
        return chain;
    }
};

} // namespace

extern "C" {

// memmove, not memcpy: source == destination is allowed. Bytes, not values,
// so that no NaN is quieted by a floating-point load (x87).
FFIREF_API void FFIREF_CDECL copySampleStructure(const SampleStructure *source,
                                                 SampleStructure *destination) {
    std::memmove(destination, source, sizeof(SampleStructure));
}

FFIREF_API void FFIREF_CDECL copyUnionStructure(const UnionStructure *source,
                                                UnionStructure *destination) {
    std::memmove(destination, source, sizeof(UnionStructure));
}

FFIREF_API int32_t FFIREF_CDECL calculateSunFromBitStructure(const BitStructure *record) {
    // A local copy keeps any wider load the compiler picks for a bit-field
    // on our stack, never past the caller's 3 bytes.
    BitStructure fields;
    std::memcpy(&fields, record, sizeof fields);
    return static_cast<int32_t>(fields.oneBit + fields.twoBitsA + fields.threeBits +
                                fields.twoBitsB + fields.tenBits);
}

FFIREF_API void FFIREF_CDECL fillKeyValueStructure(KeyValueStructure *record) {
    *record->key = 365;
    record->value = kDaysOfTheYear;
}

FFIREF_API const char *FFIREF_CDECL findValueByKey(const KeyValueStructure *records, int32_t count,
                                                   int32_t key) {
    const char *found = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        if (*records[i].key == key) {
            found = records[i].value; // no early exit: the last match wins
        }
    }
    return found;
}

FFIREF_API void FFIREF_CDECL fillLinkedStructures(LinkedStructure *head) {
    ChainUnderConstruction chain;
    for (int32_t value = 0; value <= 8; ++value) {
        chain.head = new LinkedStructure{value, chain.head};
    }
    // Written last, so a failed allocation leaves the caller's node as it was.
    head->value = 9;
    head->next = chain.release();
}

} // extern "C"
