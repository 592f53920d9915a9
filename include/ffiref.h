/*
 * ffiref: a reference library for foreign-function interfaces.
 *
 * Load libffiref.so (ffiref.dll on Windows) by path, look its 17 exports up
 * by name and compare what they return with what your FFI expects. This
 * header is the whole contract: every record layout below is also checked at
 * compile time, on every platform that includes it.
 *
 * Layouts are those of 32-bit big-endian PowerPC (System V), the reference
 * platform. The packed records keep their sizes and offsets everywhere; the
 * pointer records take the platform's pointer size; byte order and bit-field
 * allocation are the platform's own.
 *
 * Compilers: GCC and Clang (including MinGW). Packed bit-fields are laid out
 * as GCC does on every target; MSVC cannot express BitStructure in 3 bytes.
 */
#ifndef FFIREF_H
#define FFIREF_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define FFIREF_VERSION_MAJOR 1
#define FFIREF_VERSION_MINOR 0
#define FFIREF_VERSION_PATCH 0

#if !defined(__GNUC__) && !defined(__clang__)
#error "ffiref.h needs GCC or Clang: its records use packed attributes"
#endif

/* FFIREF_API marks the exports; everything else in the library is hidden. */
#if defined(_WIN32)
#if defined(FFIREF_BUILD)
#define FFIREF_API __declspec(dllexport)
#else
#define FFIREF_API __declspec(dllimport)
#endif
/* Only 32-bit x86 Windows tells these apart; elsewhere both are the one
 * standard convention. */
#define FFIREF_STDCALL __stdcall
#define FFIREF_CDECL __cdecl
/* MinGW defaults to Microsoft's bit-field allocation, which would make
 * BitStructure 4 bytes; gcc_struct keeps GCC's, the same as on Linux. */
#define FFIREF_PACKED __attribute__((packed, gcc_struct))
#else
#define FFIREF_API __attribute__((visibility("default")))
#define FFIREF_STDCALL
#define FFIREF_CDECL
#define FFIREF_PACKED __attribute__((packed))
#endif

#if defined(__cplusplus)
#define FFIREF_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define FFIREF_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#else /* C99: a negative array size fails to compile */
#define FFIREF_STATIC_ASSERT_JOIN(a, b) a##b
#define FFIREF_STATIC_ASSERT_NAME(line) FFIREF_STATIC_ASSERT_JOIN(ffiref_static_assert_, line)
#define FFIREF_STATIC_ASSERT(condition, message)                                                   \
    typedef char FFIREF_STATIC_ASSERT_NAME(__LINE__)[(condition) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Packed records: alignment 1, no gaps, may start at any address.
 * ------------------------------------------------------------------------ */

/* 36 bytes. The doublewords are IEEE doubles; the library only moves bits. */
typedef struct FFIREF_PACKED SampleStructure {
    int8_t firstByte;        /* offset 0 */
    int16_t halfword;        /* offset 1 */
    int32_t firstWord;       /* offset 3 */
    int32_t secondWord;      /* offset 7 */
    int8_t secondByte;       /* offset 11 */
    int32_t thirdWord;       /* offset 12 */
    float singleFloat;       /* offset 16 */
    double firstDoubleword;  /* offset 20 */
    double secondDoubleword; /* offset 28 */
} SampleStructure;

/* 5 bytes: a tag and a 4-byte union, whichever member was written last. */
typedef union UnionContent {
    int32_t intValue;
    float floatValue;
    uint8_t bytes[4];
} UnionContent;

typedef struct FFIREF_PACKED UnionStructure {
    uint8_t tag;          /* offset 0 */
    UnionContent content; /* offset 1 */
} UnionStructure;

/*
 * 3 bytes, five unsigned bit-fields (18 bits) in the platform's native
 * allocation for a packed record.
 *   Big-endian (PowerPC, s390x): from the most significant bit of byte 0
 *   down: oneBit 0:7, twoBitsA 0:6-5, threeBits 0:4-2, twoBitsB 0:1-0,
 *   tenBits = byte 1 (high 8 bits) then byte 2 bits 7-6 (low 2 bits).
 *   Little-endian (x86, ARM): from the least significant bit of byte 0 up:
 *   oneBit 0:0, twoBitsA 0:2-1, threeBits 0:5-3, twoBitsB 0:7-6,
 *   tenBits = byte 1 (low 8 bits) then byte 2 bits 1-0 (high 2 bits).
 * Example: 1, 1, 1, 1, 783 is A5 C3 C0 on big-endian, 4B 0F 03 on little.
 */
typedef struct FFIREF_PACKED BitStructure {
    unsigned int oneBit : 1;
    unsigned int twoBitsA : 2;
    unsigned int threeBits : 3;
    unsigned int twoBitsB : 2;
    unsigned int tenBits : 10;
} BitStructure;

/* ------------------------------------------------------------------------
 * Records holding pointers: natural C layout, not packed. With 8-byte
 * pointers LinkedStructure.next sits at offset 8 and the node is 16 bytes.
 * ------------------------------------------------------------------------ */

typedef struct KeyValueStructure {
    int32_t *key;      /* the caller's integer */
    const char *value; /* never dereferenced by the library */
} KeyValueStructure;

typedef struct LinkedStructure {
    int32_t value;
    struct LinkedStructure *next; /* NULL ends the chain */
} LinkedStructure;

/* ------------------------------------------------------------------------
 * Callbacks: called exactly once, synchronously, never kept.
 * ------------------------------------------------------------------------ */

typedef int32_t(FFIREF_CDECL *CalculateSumCallback)(int32_t operand);
typedef void(FFIREF_CDECL *CreateArrayCallback)(int32_t first, int32_t second, int32_t third,
                                                int32_t **arraySlot);
typedef void(FFIREF_CDECL *FillArrayCallback)(int32_t start, int32_t count, int32_t *array);

/* ------------------------------------------------------------------------
 * Exports
 * ------------------------------------------------------------------------ */

/* Wide characters (wchar_t) are 4-byte UTF-32 code points on Linux and
 * 2-byte UTF-16 units on Windows. There a character outside the Basic
 * Multilingual Plane is two units, and every count, offset and limit below is
 * in units: the 99-unit limit of findLongest can split such a pair, and
 * convert turns each unit of it into '?'. */

/* "Test string." and its zero byte; writable, aligned to 4. */
FFIREF_API extern char _data[13];

/* a + b, wrapping modulo 2^32. */
FFIREF_API int32_t FFIREF_STDCALL sumStdCall(int32_t a, int32_t b);
/* One puts(text); returns what puts returned. Never flushes stdout. */
FFIREF_API int32_t FFIREF_CDECL printStringCdeclCall(const char *text);

/* Byte-exact copies; source == destination leaves the record unchanged. */
FFIREF_API void FFIREF_CDECL copySampleStructure(const SampleStructure *source,
                                                 SampleStructure *destination);
FFIREF_API void FFIREF_CDECL copyUnionStructure(const UnionStructure *source,
                                                UnionStructure *destination);
/* Sum of the five fields, 0 to 1037; reads the record's 3 bytes only. */
FFIREF_API int32_t FFIREF_CDECL calculateSunFromBitStructure(const BitStructure *record);

/* *record->key = 365; record->value = the library's " days of the year.". */
FFIREF_API void FFIREF_CDECL fillKeyValueStructure(KeyValueStructure *record);
/* value of the last of the first count records whose *key == key; NULL when
 * none matches or count <= 0. */
FFIREF_API const char *FFIREF_CDECL findValueByKey(const KeyValueStructure *records, int32_t count,
                                                   int32_t key);
/* head->value = 9, head->next = nine new nodes 8..0 (each from operator new,
 * owned by the caller). head is written only after every allocation. */
FFIREF_API void FFIREF_CDECL fillLinkedStructures(LinkedStructure *head);

/* Smallest element by IEEE <; element 0 is read even when count <= 1. */
FFIREF_API double FFIREF_CDECL findMinimum(const double *array, int32_t count);
/* Keeps the first of each value (every NaN, the first of +0/-0) in order and
 * stores the new count; count <= 0 leaves everything alone. */
FFIREF_API void FFIREF_CDECL removeDuplicates(double *array, int32_t *count);

/* callback(operand). */
FFIREF_API int32_t FFIREF_CDECL calculateSum(CalculateSumCallback callback, int32_t operand);
/* Clears a slot, calls callback(first, second, third, &slot), returns slot. */
FFIREF_API int32_t *FFIREF_CDECL createArray(int32_t first, int32_t second, int32_t third,
                                             CreateArrayCallback callback);
/* Lets callback fill count integers, prints "array[i] = x should be y \n"
 * for each, returns 1 when all equal start + i (wrapping), else 0. */
FFIREF_API int32_t FFIREF_CDECL fillArray(int32_t start, int32_t count, FillArrayCallback callback);

/* *output = new char[strlen(input) + 1] holding the last occurrence of each
 * byte, in input order; release it with delete[]. */
FFIREF_API void FFIREF_CDECL removeDuplicatesFromString(const char *input, char **output);
/* Longest string of a list (strings end to end, closed by an empty one);
 * first wins ties. Returns the same static buffer on every call: at most 99
 * wide characters, valid until the next call. Not reentrant. */
FFIREF_API const wchar_t *FFIREF_CDECL findLongest(const wchar_t *list);
/* Writes each string of the list, narrowed in the current LC_CTYPE locale, at
 * the byte offset equal to its wide-character offset. A character without a
 * one-byte form becomes '?'. Nothing is written after the last string. */
FFIREF_API void FFIREF_CDECL convert(const wchar_t *list, char *output);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------------------
 * Layout checks: a compiler that disagrees with any of these fails here.
 * ------------------------------------------------------------------------ */

FFIREF_STATIC_ASSERT(sizeof(SampleStructure) == 36, "SampleStructure is 36 bytes");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, firstByte) == 0, "firstByte at 0");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, halfword) == 1, "halfword at 1");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, firstWord) == 3, "firstWord at 3");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, secondWord) == 7, "secondWord at 7");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, secondByte) == 11, "secondByte at 11");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, thirdWord) == 12, "thirdWord at 12");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, singleFloat) == 16, "singleFloat at 16");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, firstDoubleword) == 20, "firstDoubleword at 20");
FFIREF_STATIC_ASSERT(offsetof(SampleStructure, secondDoubleword) == 28, "secondDoubleword at 28");

FFIREF_STATIC_ASSERT(sizeof(UnionContent) == 4, "the union is exactly 4 bytes");
FFIREF_STATIC_ASSERT(sizeof(UnionStructure) == 5, "UnionStructure is 5 bytes");
FFIREF_STATIC_ASSERT(offsetof(UnionStructure, tag) == 0, "tag at 0");
FFIREF_STATIC_ASSERT(offsetof(UnionStructure, content) == 1, "content at 1");

FFIREF_STATIC_ASSERT(sizeof(BitStructure) == 3, "BitStructure is 3 bytes");

FFIREF_STATIC_ASSERT(sizeof(KeyValueStructure) == 2 * sizeof(void *), "two pointers");
FFIREF_STATIC_ASSERT(offsetof(KeyValueStructure, key) == 0, "key at 0");
FFIREF_STATIC_ASSERT(offsetof(KeyValueStructure, value) == sizeof(void *), "value after key");

FFIREF_STATIC_ASSERT(offsetof(LinkedStructure, value) == 0, "value at 0");
FFIREF_STATIC_ASSERT(offsetof(LinkedStructure, next) == sizeof(void *),
                     "next at 4 (32-bit) or 8 (64-bit)");
FFIREF_STATIC_ASSERT(sizeof(LinkedStructure) == 2 * sizeof(void *), "8 or 16 bytes");

#if defined(_WIN32)
FFIREF_STATIC_ASSERT(sizeof(wchar_t) == 2, "Windows wide characters are UTF-16 units");
#else
FFIREF_STATIC_ASSERT(sizeof(wchar_t) == 4, "wide characters are 4 bytes");
#endif

#endif /* FFIREF_H */
