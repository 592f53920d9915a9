/*
 * ffiref for C through libffi: every export described as an ffi_cif and
 * called with ffi_call, every callback made with an ffi_closure, the library
 * loaded by path with dlopen. Copy this header to bind the library at run
 * time; client.c beside it shows every export in use.
 *
 *   FfirefLibrary lib;
 *   if (ffirefLoad(&lib, "/path/to/libffiref.so") != 0) ...;
 *   int32_t a = 2, b = 3;
 *   void *arguments[] = {&a, &b};
 *   ffi_arg sum;
 *   ffirefCall(&lib, FFIREF_SUM_STD_CALL, &sum, arguments);
 *
 * Records go by address, so every record argument is ffi_type_pointer.
 * libffi's struct types always take natural alignment and have no bit-fields,
 * so the packed records are described here by offset tables (placed with
 * memcpy) and BitStructure by its 3 bytes and an encoder; the records with
 * pointers have natural layout and are real ffi_type structs.
 */
#ifndef FFIREF_LIBFFI_H
#define FFIREF_LIBFFI_H

#include <dlfcn.h>
#include <ffi.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* ---------------------------------------------------------------- records */

typedef struct FfirefField {
    const char *name;
    size_t offset;
    ffi_type *type; /* its size is the field's width */
} FfirefField;

#define FFIREF_SAMPLE_SIZE 36
static const FfirefField ffirefSampleFields[] = {
    {"firstByte", 0, &ffi_type_sint8},          {"halfword", 1, &ffi_type_sint16},
    {"firstWord", 3, &ffi_type_sint32},         {"secondWord", 7, &ffi_type_sint32},
    {"secondByte", 11, &ffi_type_sint8},        {"thirdWord", 12, &ffi_type_sint32},
    {"singleFloat", 16, &ffi_type_float},       {"firstDoubleword", 20, &ffi_type_double},
    {"secondDoubleword", 28, &ffi_type_double}, {NULL, 0, NULL}};

/* content is a 4-byte union of int32_t, float and uint8_t[4]; libffi has no
 * unions, so it is described by one 4-byte member. */
#define FFIREF_UNION_SIZE 5
static const FfirefField ffirefUnionFields[] = {
    {"tag", 0, &ffi_type_uint8}, {"content", 1, &ffi_type_sint32}, {NULL, 0, NULL}};

/* Five unsigned bit-fields 1, 2, 3, 2, 10 in 3 bytes, in the platform's
 * native allocation for a packed record: little-endian from bit 0 of byte 0
 * upwards, big-endian from bit 7 downwards; tenBits spans bytes 1 and 2. */
#define FFIREF_BIT_SIZE 3
enum { FFIREF_BIT_FIELD_COUNT = 5 };
static const char *const ffirefBitNames[FFIREF_BIT_FIELD_COUNT] = {
    "oneBit", "twoBitsA", "threeBits", "twoBitsB", "tenBits"};
static const unsigned ffirefBitWidths[FFIREF_BIT_FIELD_COUNT] = {1, 2, 3, 2, 10};

static int ffirefBigEndian(void) {
    const uint16_t probe = 1;
    unsigned char first;
    memcpy(&first, &probe, 1);
    return first == 0;
}

static void ffirefEncodeBits(const unsigned values[FFIREF_BIT_FIELD_COUNT],
                             unsigned char record[FFIREF_BIT_SIZE]) {
    const int big = ffirefBigEndian();
    unsigned position = 0;
    memset(record, 0, FFIREF_BIT_SIZE);
    for (int i = 0; i < FFIREF_BIT_FIELD_COUNT - 1; ++i) {
        const unsigned value = values[i] & ((1u << ffirefBitWidths[i]) - 1);
        record[0] |=
            (unsigned char)(big ? value << (8 - position - ffirefBitWidths[i]) : value << position);
        position += ffirefBitWidths[i];
    }
    const unsigned ten = values[4] & 0x3FF;
    record[1] = (unsigned char)(big ? ten >> 2 : ten & 0xFF);
    record[2] = (unsigned char)(big ? (ten & 3) << 6 : ten >> 8);
}

static void ffirefDecodeBits(const unsigned char record[FFIREF_BIT_SIZE],
                             unsigned values[FFIREF_BIT_FIELD_COUNT]) {
    const int big = ffirefBigEndian();
    unsigned position = 0;
    for (int i = 0; i < FFIREF_BIT_FIELD_COUNT - 1; ++i) {
        const unsigned mask = (1u << ffirefBitWidths[i]) - 1;
        values[i] =
            (big ? record[0] >> (8 - position - ffirefBitWidths[i]) : record[0] >> position) & mask;
        position += ffirefBitWidths[i];
    }
    values[4] = big ? (unsigned)record[1] << 2 | record[2] >> 6 : record[1] | (record[2] & 3u) << 8;
}

/* Natural layout: ffi_get_struct_offsets() fills in sizes and offsets. */
static ffi_type *ffirefKeyValueElements[] = {&ffi_type_pointer, &ffi_type_pointer, NULL};
static ffi_type ffirefKeyValueType = {0, 0, FFI_TYPE_STRUCT, ffirefKeyValueElements};
static const char *const ffirefKeyValueNames[] = {"key", "value"};
static ffi_type *ffirefLinkedElements[] = {&ffi_type_sint32, &ffi_type_pointer, NULL};
static ffi_type ffirefLinkedType = {0, 0, FFI_TYPE_STRUCT, ffirefLinkedElements};
static const char *const ffirefLinkedNames[] = {"value", "next"};

/* ---------------------------------------------------------------- functions */

typedef enum FfirefFunction {
    FFIREF_SUM_STD_CALL,
    FFIREF_PRINT_STRING_CDECL_CALL,
    FFIREF_COPY_SAMPLE_STRUCTURE,
    FFIREF_COPY_UNION_STRUCTURE,
    FFIREF_CALCULATE_SUN_FROM_BIT_STRUCTURE,
    FFIREF_FILL_KEY_VALUE_STRUCTURE,
    FFIREF_FIND_VALUE_BY_KEY,
    FFIREF_FILL_LINKED_STRUCTURES,
    FFIREF_FIND_MINIMUM,
    FFIREF_REMOVE_DUPLICATES,
    FFIREF_CALCULATE_SUM,
    FFIREF_CREATE_ARRAY,
    FFIREF_FILL_ARRAY,
    FFIREF_REMOVE_DUPLICATES_FROM_STRING,
    FFIREF_FIND_LONGEST,
    FFIREF_CONVERT,
    /* Memory the library hands out comes from C++ operator new / new[]; the
     * C++ runtime that the library needs supplies the matching operators,
     * found through the library's own handle by their mangled names. */
    FFIREF_OPERATOR_DELETE,       /* operator delete(void *), for nodes */
    FFIREF_OPERATOR_DELETE_ARRAY, /* operator delete[](void *), for strings */
    FFIREF_FUNCTION_COUNT
} FfirefFunction;

typedef struct FfirefPrototype {
    const char *name;
    ffi_type *result;
    unsigned count;
    ffi_type *arguments[4];
} FfirefPrototype;

#define FFIREF_P (&ffi_type_pointer)
#define FFIREF_I32 (&ffi_type_sint32)
static FfirefPrototype ffirefPrototypes[FFIREF_FUNCTION_COUNT] = {
    {"sumStdCall", FFIREF_I32, 2, {FFIREF_I32, FFIREF_I32}},
    {"printStringCdeclCall", FFIREF_I32, 1, {FFIREF_P}},
    {"copySampleStructure", &ffi_type_void, 2, {FFIREF_P, FFIREF_P}},
    {"copyUnionStructure", &ffi_type_void, 2, {FFIREF_P, FFIREF_P}},
    {"calculateSunFromBitStructure", FFIREF_I32, 1, {FFIREF_P}},
    {"fillKeyValueStructure", &ffi_type_void, 1, {FFIREF_P}},
    {"findValueByKey", FFIREF_P, 3, {FFIREF_P, FFIREF_I32, FFIREF_I32}},
    {"fillLinkedStructures", &ffi_type_void, 1, {FFIREF_P}},
    {"findMinimum", &ffi_type_double, 2, {FFIREF_P, FFIREF_I32}},
    {"removeDuplicates", &ffi_type_void, 2, {FFIREF_P, FFIREF_P}},
    {"calculateSum", FFIREF_I32, 2, {FFIREF_P, FFIREF_I32}},
    {"createArray", FFIREF_P, 4, {FFIREF_I32, FFIREF_I32, FFIREF_I32, FFIREF_P}},
    {"fillArray", FFIREF_I32, 3, {FFIREF_I32, FFIREF_I32, FFIREF_P}},
    {"removeDuplicatesFromString", &ffi_type_void, 2, {FFIREF_P, FFIREF_P}},
    {"findLongest", FFIREF_P, 1, {FFIREF_P}},
    {"convert", &ffi_type_void, 2, {FFIREF_P, FFIREF_P}},
    {"_ZdlPv", &ffi_type_void, 1, {FFIREF_P}},
    {"_ZdaPv", &ffi_type_void, 1, {FFIREF_P}},
};

/* The callback types, as closures are made for them. */
typedef enum FfirefCallback {
    FFIREF_CALCULATE_SUM_CALLBACK, /* int32_t (int32_t operand) */
    FFIREF_CREATE_ARRAY_CALLBACK,  /* void (int32_t, int32_t, int32_t, int32_t **arraySlot) */
    FFIREF_FILL_ARRAY_CALLBACK,    /* void (int32_t start, int32_t count, int32_t *array) */
    FFIREF_CALLBACK_COUNT
} FfirefCallback;

static FfirefPrototype ffirefCallbackPrototypes[FFIREF_CALLBACK_COUNT] = {
    {"CalculateSumCallback", FFIREF_I32, 1, {FFIREF_I32}},
    {"CreateArrayCallback", &ffi_type_void, 4, {FFIREF_I32, FFIREF_I32, FFIREF_I32, FFIREF_P}},
    {"FillArrayCallback", &ffi_type_void, 3, {FFIREF_I32, FFIREF_I32, FFIREF_P}},
};
#undef FFIREF_P
#undef FFIREF_I32

typedef struct FfirefLibrary {
    void *handle;
    void *functions[FFIREF_FUNCTION_COUNT];
    ffi_cif cifs[FFIREF_FUNCTION_COUNT];
    char *data; /* the exported char _data[13] */
} FfirefLibrary;

/* Loads the library by path and prepares a call interface for every export.
 * Returns 0, or -1 with a message on stderr. */
static int ffirefLoad(FfirefLibrary *lib, const char *path) {
    memset(lib, 0, sizeof *lib);
    lib->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib->handle == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return -1;
    }
    for (int i = 0; i < FFIREF_FUNCTION_COUNT; ++i) {
        FfirefPrototype *prototype = &ffirefPrototypes[i];
        lib->functions[i] = dlsym(lib->handle, prototype->name);
        if (lib->functions[i] == NULL ||
            ffi_prep_cif(&lib->cifs[i], FFI_DEFAULT_ABI, prototype->count, prototype->result,
                         prototype->arguments) != FFI_OK) {
            fprintf(stderr, "cannot bind %s\n", prototype->name);
            return -1;
        }
    }
    lib->data = (char *)dlsym(lib->handle, "_data");
    return lib->data == NULL ? -1 : 0;
}

/* result: an ffi_arg for the integer results (libffi widens them), a double
 * for findMinimum, a void * for pointers, NULL for void. */
static void ffirefCall(FfirefLibrary *lib, FfirefFunction function, void *result,
                       void **arguments) {
    ffi_call(&lib->cifs[function], FFI_FN(lib->functions[function]), result, arguments);
}

typedef struct FfirefClosure {
    ffi_closure *closure;
    void *code; /* what the library receives as the callback */
    ffi_cif cif;
} FfirefClosure;

/* Makes a C function of handler; user reaches handler unchanged. */
static int ffirefMakeClosure(FfirefClosure *closure, FfirefCallback type,
                             void (*handler)(ffi_cif *, void *, void **, void *), void *user) {
    FfirefPrototype *prototype = &ffirefCallbackPrototypes[type];
    closure->closure = (ffi_closure *)ffi_closure_alloc(sizeof(ffi_closure), &closure->code);
    if (closure->closure == NULL ||
        ffi_prep_cif(&closure->cif, FFI_DEFAULT_ABI, prototype->count, prototype->result,
                     prototype->arguments) != FFI_OK ||
        ffi_prep_closure_loc(closure->closure, &closure->cif, handler, user, closure->code) !=
            FFI_OK) {
        return -1;
    }
    return 0;
}

static void ffirefFreeClosure(FfirefClosure *closure) {
    ffi_closure_free(closure->closure);
}

#endif /* FFIREF_LIBFFI_H */
