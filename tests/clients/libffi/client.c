/*
 * ffiref through libffi from C: a thin runner over tests/clients/cases.json,
 * using the binding in ffiref_libffi.h beside it.
 *
 * usage: client [path/to/libffiref.so]   (else $FFIREF_LIBRARY, else build/ci)
 * The cases file is found at FFIREF_CASES (set at build time) or $FFIREF_CASES.
 */
#include "ffiref_libffi.h"

#include <cJSON.h>
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>
#include <wchar.h>

/* ---------------------------------------------------------------- tally */

static int passed, failed, skipped;

static int vreport(int ok, const char *detail, const char *format, va_list names) {
    if (ok) {
        ++passed;
        return 1;
    }
    ++failed;
    printf("FAIL libffi: ");
    vprintf(format, names);
    printf("%s%s\n", detail[0] ? ": " : "", detail);
    return 0;
}

static int check(int ok, const char *format, ...) {
    va_list names;
    va_start(names, format);
    vreport(ok, "", format, names);
    va_end(names);
    return ok;
}

static int checkInt(long long actual, long long expected, const char *format, ...) {
    char detail[96];
    snprintf(detail, sizeof detail, "got %lld, expected %lld", actual, expected);
    va_list names;
    va_start(names, format);
    vreport(actual == expected, detail, format, names);
    va_end(names);
    return actual == expected;
}

static int checkBytes(const void *actual, const void *expected, size_t size, const char *format,
                      ...) {
    char detail[512] = "got";
    for (size_t i = 0; i < size && strlen(detail) < sizeof detail - 16; ++i) {
        snprintf(detail + strlen(detail), sizeof detail - strlen(detail), " %02X",
                 ((const unsigned char *)actual)[i]);
    }
    const int ok = memcmp(actual, expected, size) == 0;
    va_list names;
    va_start(names, format);
    vreport(ok, detail, format, names);
    va_end(names);
    return ok;
}

static void skip(const char *reason, const char *format, ...) {
    ++skipped;
    printf("SKIP libffi: ");
    va_list names;
    va_start(names, format);
    vprintf(format, names);
    va_end(names);
    printf(": %s\n", reason);
}

/* ---------------------------------------------------------------- helpers */

static cJSON *at(const cJSON *object, const char *key) {
    return cJSON_GetObjectItemCaseSensitive(object, key);
}

static int integer(const cJSON *item) {
    return (int)item->valuedouble;
}

static char *readFile(const char *path) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        return NULL;
    }
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    rewind(file);
    char *text = malloc((size_t)size + 1);
    text[fread(text, 1, (size_t)size, file)] = '\0';
    fclose(file);
    return text;
}

static size_t hexBytes(const char *hex, unsigned char *out) {
    size_t count = 0;
    unsigned byte;
    int used;
    while (sscanf(hex, " %2x%n", &byte, &used) == 1) {
        out[count++] = (unsigned char)byte;
        hex += used;
    }
    return count;
}

/* A narrow string of a case: key_hex as raw bytes, else key as text. */
static size_t narrow(const cJSON *kase, const char *key, unsigned char *out) {
    char hexKey[64];
    snprintf(hexKey, sizeof hexKey, "%s_hex", key);
    const cJSON *hex = at(kase, hexKey);
    if (hex != NULL) {
        return hexBytes(hex->valuestring, out);
    }
    const size_t length = strlen(at(kase, key)->valuestring);
    memcpy(out, at(kase, key)->valuestring, length);
    return length;
}

static size_t byteImage(const cJSON *kase, unsigned char *out) {
    return hexBytes(at(kase, ffirefBigEndian() ? "big" : "little")->valuestring, out);
}

static double number(const cJSON *item) {
    if (cJSON_IsString(item)) {
        const char *text = item->valuestring;
        if (strcmp(text, "nan") == 0)
            return NAN;
        if (strcmp(text, "inf") == 0)
            return INFINITY;
        if (strcmp(text, "-inf") == 0)
            return -INFINITY;
        return -0.0; /* "-0" */
    }
    return item->valuedouble;
}

static int sameDouble(double actual, double expected) {
    if (isnan(expected)) {
        return isnan(actual);
    }
    return actual == expected && signbit(actual) == signbit(expected);
}

/* Code points of UTF-8 text; returns how many. */
static size_t codePoints(const char *text, wchar_t *out) {
    size_t count = 0;
    const unsigned char *byte = (const unsigned char *)text;
    while (*byte) {
        const int length = *byte < 0x80 ? 1 : *byte < 0xE0 ? 2 : *byte < 0xF0 ? 3 : 4;
        unsigned code = length == 1 ? *byte : *byte & (0x7Fu >> length);
        for (int i = 1; i < length; ++i) {
            code = code << 6 | (byte[i] & 0x3Fu);
        }
        out[count++] = (wchar_t)code;
        byte += length;
    }
    return count;
}

/* A wide string list of the strings of a JSON array. */
static void wideList(const cJSON *strings, wchar_t *out) {
    const cJSON *text;
    cJSON_ArrayForEach(text, strings) {
        out += codePoints(text->valuestring, out);
        *out++ = L'\0';
    }
    *out = L'\0';
}

/* Runs the library with file descriptor 1 on a temporary file. */
typedef struct Capture {
    FILE *sink;
    int saved;
} Capture;

static void captureBegin(Capture *capture) {
    fflush(stdout);
    capture->sink = tmpfile();
    capture->saved = dup(1);
    dup2(fileno(capture->sink), 1);
}

static size_t captureEnd(Capture *capture, char *out, size_t size) {
    fflush(stdout); /* the library writes through this same stdout */
    dup2(capture->saved, 1);
    close(capture->saved);
    rewind(capture->sink);
    const size_t length = fread(out, 1, size - 1, capture->sink);
    out[length] = '\0';
    fclose(capture->sink);
    return length;
}

/* The bytes a bit-field record holds for values, from the layout JSON's
 * segments: each field's bits go most significant first, high bit to low. */
static void segmentsImage(const cJSON *fields, const char *const *names, const unsigned *values,
                          int count, unsigned char *out, size_t size) {
    memset(out, 0, size);
    for (int i = 0; i < count; ++i) {
        const cJSON *field = at(fields, names[i]);
        int remaining = integer(at(field, "width"));
        const cJSON *segment;
        cJSON_ArrayForEach(segment, at(field, "segments")) {
            for (int bit = integer(at(segment, "high_bit")); bit >= integer(at(segment, "low_bit"));
                 --bit) {
                --remaining;
                if ((values[i] >> remaining) & 1u) {
                    out[integer(at(segment, "byte"))] |= (unsigned char)(1u << bit);
                }
            }
        }
    }
}

/* ---------------------------------------------------------------- runner */

static FfirefLibrary lib;
static cJSON *cases;

static int32_t callInt(FfirefFunction function, void **arguments) {
    ffi_arg result;
    ffirefCall(&lib, function, &result, arguments);
    return (int32_t)result;
}

static void *callPointer(FfirefFunction function, void **arguments) {
    void *result;
    ffirefCall(&lib, function, &result, arguments);
    return result;
}

static void callVoid(FfirefFunction function, void **arguments) {
    ffirefCall(&lib, function, NULL, arguments);
}

static void release(FfirefFunction operatorDelete, void *pointer) {
    void *arguments[] = {&pointer};
    callVoid(operatorDelete, arguments);
}

static int32_t bitSum(const unsigned char *record) {
    void *arguments[] = {&record};
    return callInt(FFIREF_CALCULATE_SUN_FROM_BIT_STRUCTURE, arguments);
}

/* The members of UnionStructure's content, for samples that name one. */
static const FfirefField unionMembers[] = {{"content.intValue", 1, &ffi_type_sint32},
                                           {"content.floatValue", 1, &ffi_type_float},
                                           {NULL, 0, NULL}};

static const FfirefField *findField(const FfirefField *fields, const char *name) {
    if (fields == ffirefUnionFields && strncmp(name, "content.", 8) == 0) {
        fields = unionMembers;
    }
    for (; fields->name != NULL; ++fields) {
        if (strcmp(fields->name, name) == 0) {
            return fields;
        }
    }
    return NULL;
}

/* Writes a number into a field of a packed record, in the field's type. */
static void writeField(unsigned char *record, const FfirefField *field, double value) {
    union {
        int8_t i8;
        int16_t i16;
        int32_t i32;
        float f;
        double d;
        uint8_t u8;
    } bits;
    if (field->type == &ffi_type_sint8)
        bits.i8 = (int8_t)value;
    else if (field->type == &ffi_type_uint8)
        bits.u8 = (uint8_t)value;
    else if (field->type == &ffi_type_sint16)
        bits.i16 = (int16_t)value;
    else if (field->type == &ffi_type_sint32)
        bits.i32 = (int32_t)value;
    else if (field->type == &ffi_type_float)
        bits.f = (float)value;
    else
        bits.d = value;
    memcpy(record + field->offset, &bits, field->type->size);
}

static void checkRecordLayout(const cJSON *expected, const char *name, size_t size,
                              size_t alignment, const FfirefField *fields) {
    checkInt((long long)size, integer(at(expected, "size")), "layout %s size", name);
    checkInt((long long)alignment, integer(at(expected, "alignment")), "layout %s alignment", name);
    int count = 0;
    for (const FfirefField *field = fields; field->name != NULL; ++field, ++count) {
        const cJSON *place = at(at(expected, "fields"), field->name);
        if (check(place != NULL, "layout %s has %s", name, field->name)) {
            checkInt((long long)field->offset, integer(at(place, "offset")), "layout %s.%s offset",
                     name, field->name);
            checkInt((long long)field->type->size, integer(at(place, "size")), "layout %s.%s size",
                     name, field->name);
        }
    }
    checkInt(count, cJSON_GetArraySize(at(expected, "fields")), "layout %s field count", name);
}

/* A natural-layout record as libffi lays it out, as an offset table. */
static void naturalFields(ffi_type *type, const char *const *names, FfirefField *fields) {
    size_t offsets[4];
    ffi_get_struct_offsets(FFI_DEFAULT_ABI, type, offsets);
    int i = 0;
    for (; type->elements[i] != NULL; ++i) {
        fields[i] = (FfirefField){names[i], offsets[i], type->elements[i]};
    }
    fields[i] = (FfirefField){NULL, 0, NULL};
}

static void layout(const char *layoutPath) {
    const cJSON *declared = at(cases, "layout");
    const struct {
        const char *name;
        const FfirefField *fields;
        size_t size;
    } packed[] = {{"SampleStructure", ffirefSampleFields, FFIREF_SAMPLE_SIZE},
                  {"UnionStructure", ffirefUnionFields, FFIREF_UNION_SIZE}};
    for (int r = 0; r < 2; ++r) {
        const cJSON *record = at(declared, packed[r].name);
        checkInt((long long)packed[r].size, integer(at(record, "size")), "%s size", packed[r].name);
        const cJSON *field;
        int i = 0;
        cJSON_ArrayForEach(field, at(record, "fields")) {
            const FfirefField *mine = &packed[r].fields[i++];
            check(mine->name != NULL &&
                      strcmp(mine->name, cJSON_GetArrayItem(field, 0)->valuestring) == 0 &&
                      (int)mine->offset == integer(cJSON_GetArrayItem(field, 1)) &&
                      (int)mine->type->size == integer(cJSON_GetArrayItem(field, 2)),
                  "%s field %s", packed[r].name, cJSON_GetArrayItem(field, 0)->valuestring);
        }
    }
    skip("libffi struct types always take natural alignment (this field list would be 40 bytes); "
         "the binding "
         "places the fields by an offset table",
         "packed records as ffi_type structs");
    skip("libffi has no bit-fields; the binding packs the 3 bytes itself (ffirefEncodeBits), "
         "checked against the "
         "expected images",
         "BitStructure declared bit-fields");
    checkInt(FFIREF_BIT_SIZE, integer(at(at(declared, "BitStructure"), "size")),
             "BitStructure size");
    size_t offsets[2];
    ffi_get_struct_offsets(FFI_DEFAULT_ABI, &ffirefKeyValueType, offsets);
    check(ffirefKeyValueType.size == 2 * ffi_type_pointer.size &&
              offsets[1] == ffi_type_pointer.size,
          "KeyValueStructure: two pointers");
    ffi_get_struct_offsets(FFI_DEFAULT_ABI, &ffirefLinkedType, offsets);
    check(ffirefLinkedType.size == 2 * ffi_type_pointer.size && offsets[1] == ffi_type_pointer.size,
          "LinkedStructure: next at the pointer size");

    char *text = readFile(layoutPath);
    if (text == NULL) {
        check(0, "layout JSON %s exists (build the library first)", layoutPath);
        return;
    }
    cJSON *json = cJSON_Parse(text);
    free(text);
    check(strcmp(at(json, "byte_order")->valuestring, ffirefBigEndian() ? "big" : "little") == 0,
          "layout byte_order");
    checkInt((long long)ffi_type_pointer.size, integer(at(json, "pointer_size")),
             "layout pointer_size");
    checkInt((long long)sizeof(wchar_t), integer(at(json, "wchar_size")), "layout wchar_size");
    const cJSON *records = at(json, "records");
    checkRecordLayout(at(records, "SampleStructure"), "SampleStructure", FFIREF_SAMPLE_SIZE, 1,
                      ffirefSampleFields);
    checkRecordLayout(at(records, "UnionStructure"), "UnionStructure", FFIREF_UNION_SIZE, 1,
                      ffirefUnionFields);
    FfirefField natural[3];
    naturalFields(&ffirefKeyValueType, ffirefKeyValueNames, natural);
    checkRecordLayout(at(records, "KeyValueStructure"), "KeyValueStructure",
                      ffirefKeyValueType.size, ffirefKeyValueType.alignment, natural);
    naturalFields(&ffirefLinkedType, ffirefLinkedNames, natural);
    checkRecordLayout(at(records, "LinkedStructure"), "LinkedStructure", ffirefLinkedType.size,
                      ffirefLinkedType.alignment, natural);

    const cJSON *bits = at(records, "BitStructure");
    checkInt(FFIREF_BIT_SIZE, integer(at(bits, "size")), "layout BitStructure size");
    for (int i = 0; i < FFIREF_BIT_FIELD_COUNT; ++i) {
        const unsigned largest = (1u << ffirefBitWidths[i]) - 1;
        const unsigned tries[] = {largest, (0x2D3u & largest) | 1u};
        for (int t = 0; t < 2; ++t) {
            unsigned values[FFIREF_BIT_FIELD_COUNT] = {0};
            values[i] = tries[t];
            unsigned char mine[FFIREF_BIT_SIZE], expected[FFIREF_BIT_SIZE];
            ffirefEncodeBits(values, mine);
            segmentsImage(at(bits, "fields"), &ffirefBitNames[i], &values[i], 1, expected,
                          FFIREF_BIT_SIZE);
            checkBytes(mine, expected, FFIREF_BIT_SIZE, "layout BitStructure %s=%u image",
                       ffirefBitNames[i], tries[t]);
        }
    }
    const cJSON *sample;
    cJSON_ArrayForEach(sample, at(json, "samples")) {
        const char *record = at(sample, "record")->valuestring;
        unsigned char expected[64], mine[64] = {0};
        const size_t size = hexBytes(at(sample, "bytes")->valuestring, expected);
        const cJSON *value;
        if (strcmp(record, "BitStructure") == 0) {
            unsigned values[FFIREF_BIT_FIELD_COUNT] = {0};
            for (int i = 0; i < FFIREF_BIT_FIELD_COUNT; ++i) {
                const cJSON *item = at(at(sample, "values"), ffirefBitNames[i]);
                values[i] = item ? (unsigned)integer(item) : 0;
            }
            ffirefEncodeBits(values, mine);
            checkBytes(mine, expected, size, "layout sample BitStructure %u,%u,%u,%u,%u", values[0],
                       values[1], values[2], values[3], values[4]);
            if (at(sample, "sum") != NULL) {
                checkInt(bitSum(mine), integer(at(sample, "sum")),
                         "layout sample BitStructure sum");
            }
            continue;
        }
        const FfirefField *fields = strcmp(record, "SampleStructure") == 0  ? ffirefSampleFields
                                    : strcmp(record, "UnionStructure") == 0 ? ffirefUnionFields
                                                                            : NULL;
        int plain = fields != NULL;
        cJSON_ArrayForEach(value, at(sample, "values")) {
            plain = plain && findField(fields, value->string) != NULL &&
                    (cJSON_IsNumber(value) || cJSON_IsString(value));
        }
        if (!plain) {
            skip("the sample's values are not plain fields of the declared record",
                 "layout sample %s", record);
            continue;
        }
        cJSON_ArrayForEach(value, at(sample, "values")) {
            writeField(mine, findField(fields, value->string), number(value));
        }
        checkBytes(mine, expected, size, "layout sample %s", record);
    }
    cJSON_Delete(json);
}

static void exports(void) {
    const cJSON *name;
    cJSON_ArrayForEach(name, at(cases, "exports")) {
        check(dlsym(lib.handle, name->valuestring) != NULL, "export %s", name->valuestring);
    }
}

static void plainCalls(void) {
    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(cases, "sumStdCall")) {
        int32_t a = integer(cJSON_GetArrayItem(kase, 0)), b = integer(cJSON_GetArrayItem(kase, 1));
        void *arguments[] = {&a, &b};
        checkInt(callInt(FFIREF_SUM_STD_CALL, arguments), integer(cJSON_GetArrayItem(kase, 2)),
                 "sumStdCall(%d, %d)", a, b);
    }
    cJSON_ArrayForEach(kase, at(cases, "printStringCdeclCall")) {
        unsigned char text[64] = {0}, expected[64];
        narrow(kase, "text", text);
        const size_t expectedLength = narrow(kase, "stdout", expected);
        const char *pointer = (const char *)text;
        void *arguments[] = {&pointer};
        Capture capture;
        captureBegin(&capture);
        const int32_t result = callInt(FFIREF_PRINT_STRING_CDECL_CALL, arguments);
        char written[64];
        const size_t length = captureEnd(&capture, written, sizeof written);
        check(result >= 0, "printStringCdeclCall(\"%s\") result", text);
        checkInt((long long)length, (long long)expectedLength,
                 "printStringCdeclCall(\"%s\") output length", text);
        checkBytes(written, expected, expectedLength, "printStringCdeclCall(\"%s\") output", text);
    }
}

static void globalData(void) {
    const cJSON *expected = at(cases, "_data");
    char initial[13] = {0};
    strcpy(initial, at(expected, "initial")->valuestring);
    checkBytes(lib.data, initial, 13, "_data initial");
    checkInt((long long)((uintptr_t)lib.data % (unsigned)integer(at(expected, "alignment"))), 0,
             "_data alignment");
    strcpy(lib.data, at(expected, "write")->valuestring);
    check(strcmp((const char *)dlsym(lib.handle, "_data"), at(expected, "write")->valuestring) == 0,
          "_data after a write");
    memcpy(lib.data, initial, 13);
    checkBytes(dlsym(lib.handle, "_data"), initial, 13, "_data restored");
}

static void packedRecords(void) {
    const cJSON *sample = at(cases, "copySampleStructure");
    unsigned char source[FFIREF_SAMPLE_SIZE] = {0}, destination[FFIREF_SAMPLE_SIZE],
                  expected[FFIREF_SAMPLE_SIZE];
    const cJSON *value;
    cJSON_ArrayForEach(value, at(sample, "fields")) {
        writeField(source, findField(ffirefSampleFields, value->string), number(value));
    }
    byteImage(sample, expected);
    checkBytes(source, expected, FFIREF_SAMPLE_SIZE, "SampleStructure image");
    void *from = source, *to = destination;
    void *arguments[] = {&from, &to};
    callVoid(FFIREF_COPY_SAMPLE_STRUCTURE, arguments);
    checkBytes(destination, source, FFIREF_SAMPLE_SIZE, "copySampleStructure fields");
    const cJSON *raw;
    cJSON_ArrayForEach(raw, at(sample, "images")) {
        /* Odd addresses on both sides, guard bytes around the destination. */
        unsigned char memory[80], image[FFIREF_SAMPLE_SIZE + 2] = {0x5A};
        memset(memory, 0x5A, sizeof memory);
        hexBytes(raw->valuestring, memory + 1);
        hexBytes(raw->valuestring, image + 1);
        image[FFIREF_SAMPLE_SIZE + 1] = 0x5A;
        from = memory + 1;
        to = memory + 41;
        callVoid(FFIREF_COPY_SAMPLE_STRUCTURE, arguments);
        checkBytes(memory + 40, image, sizeof image, "copySampleStructure image %.11s",
                   raw->valuestring);
        from = to;
        callVoid(FFIREF_COPY_SAMPLE_STRUCTURE, arguments);
        checkBytes(memory + 41, image + 1, FFIREF_SAMPLE_SIZE, "copySampleStructure onto itself");
    }

    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(cases, "copyUnionStructure")) {
        unsigned char unionSource[FFIREF_UNION_SIZE] = {0},
                      unionDestination[FFIREF_UNION_SIZE] = {0};
        unsigned char image[FFIREF_UNION_SIZE];
        const char *member = at(kase, "member")->valuestring;
        writeField(unionSource, &ffirefUnionFields[0], integer(at(kase, "tag")));
        if (strcmp(member, "intValue") == 0) {
            const int32_t content = integer(at(kase, "value"));
            memcpy(unionSource + 1, &content, 4);
        } else if (strcmp(member, "floatValue") == 0) {
            const float content = (float)number(at(kase, "value"));
            memcpy(unionSource + 1, &content, 4);
        } else {
            for (int i = 0; i < 4; ++i) {
                unionSource[1 + i] =
                    (unsigned char)integer(cJSON_GetArrayItem(at(kase, "value"), i));
            }
        }
        byteImage(kase, image);
        checkBytes(unionSource, image, FFIREF_UNION_SIZE, "UnionStructure image via %s", member);
        void *unionFrom = unionSource, *unionTo = unionDestination;
        void *unionArguments[] = {&unionFrom, &unionTo};
        callVoid(FFIREF_COPY_UNION_STRUCTURE, unionArguments);
        checkBytes(unionDestination, unionSource, FFIREF_UNION_SIZE, "copyUnionStructure via %s",
                   member);
    }

    const cJSON *bits = at(cases, "calculateSunFromBitStructure");
    cJSON_ArrayForEach(kase, at(bits, "records")) {
        unsigned values[FFIREF_BIT_FIELD_COUNT], readBack[FFIREF_BIT_FIELD_COUNT];
        for (int i = 0; i < FFIREF_BIT_FIELD_COUNT; ++i) {
            values[i] = (unsigned)integer(cJSON_GetArrayItem(at(kase, "values"), i));
        }
        unsigned char record[FFIREF_BIT_SIZE], image[FFIREF_BIT_SIZE];
        ffirefEncodeBits(values, record);
        byteImage(kase, image);
        checkBytes(record, image, FFIREF_BIT_SIZE, "BitStructure %u,%u,%u,%u,%u image", values[0],
                   values[1], values[2], values[3], values[4]);
        checkInt(bitSum(record), integer(at(kase, "sum")),
                 "calculateSunFromBitStructure %u,%u,%u,%u,%u", values[0], values[1], values[2],
                 values[3], values[4]);
        ffirefDecodeBits(record, readBack);
        check(memcmp(readBack, values, sizeof values) == 0, "BitStructure %u,%u,%u,%u,%u read back",
              values[0], values[1], values[2], values[3], values[4]);
    }
    cJSON_ArrayForEach(kase, at(bits, "unused_bits")) {
        unsigned char memory[FFIREF_BIT_SIZE + 1] = {0, 0, 0, 0xFF};
        byteImage(kase, memory);
        checkInt(bitSum(memory), integer(at(kase, "sum")),
                 "calculateSunFromBitStructure raw %02X %02X %02X", memory[0], memory[1],
                 memory[2]);
    }
}

/* The natural-layout records, placed by libffi's offsets. */
static size_t keyOffset, valueOffset, nodeValueOffset, nextOffset;

static void pointerRecords(void) {
    size_t offsets[2];
    ffi_get_struct_offsets(FFI_DEFAULT_ABI, &ffirefKeyValueType, offsets);
    keyOffset = offsets[0];
    valueOffset = offsets[1];
    ffi_get_struct_offsets(FFI_DEFAULT_ABI, &ffirefLinkedType, offsets);
    nodeValueOffset = offsets[0];
    nextOffset = offsets[1];

    const cJSON *expected = at(cases, "fillKeyValueStructure");
    int32_t key = 0;
    int32_t *keyPointer = &key;
    unsigned char record[64] = {0};
    memcpy(record + keyOffset, &keyPointer, sizeof keyPointer);
    void *recordPointer = record;
    void *arguments[] = {&recordPointer};
    callVoid(FFIREF_FILL_KEY_VALUE_STRUCTURE, arguments);
    checkInt(key, integer(at(expected, "key")), "fillKeyValueStructure key");
    check(memcmp(record + keyOffset, &keyPointer, sizeof keyPointer) == 0,
          "fillKeyValueStructure key pointer kept");
    const char *text, *again;
    memcpy(&text, record + valueOffset, sizeof text);
    check(strcmp(text, at(expected, "text")->valuestring) == 0, "fillKeyValueStructure text");
    callVoid(FFIREF_FILL_KEY_VALUE_STRUCTURE, arguments);
    memcpy(&again, record + valueOffset, sizeof again);
    check(again == text, "fillKeyValueStructure same text address");

    const cJSON *lookup = at(cases, "findValueByKey");
    enum { MAX_RECORDS = 8 };
    int32_t keys[MAX_RECORDS];
    char texts[MAX_RECORDS][16];
    unsigned char records[MAX_RECORDS * 16];
    const int count = cJSON_GetArraySize(at(lookup, "keys"));
    for (int i = 0; i < count; ++i) {
        keys[i] = integer(cJSON_GetArrayItem(at(lookup, "keys"), i));
        snprintf(texts[i], sizeof texts[i], "value %d", i);
        int32_t *k = &keys[i];
        char *v = texts[i];
        memcpy(records + i * ffirefKeyValueType.size + keyOffset, &k, sizeof k);
        memcpy(records + i * ffirefKeyValueType.size + valueOffset, &v, sizeof v);
    }
    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(lookup, "cases")) {
        void *array = records;
        int32_t n = integer(at(kase, "count")), wanted = integer(at(kase, "key"));
        void *lookupArguments[] = {&array, &n, &wanted};
        const void *found = callPointer(FFIREF_FIND_VALUE_BY_KEY, lookupArguments);
        const cJSON *index = at(kase, "expect");
        check(found == (cJSON_IsNull(index) ? NULL : texts[integer(index)]),
              "findValueByKey count %d key %d", n, wanted);
    }

    unsigned char head[64] = {0};
    const int32_t minusOne = -1;
    memcpy(head + nodeValueOffset, &minusOne, sizeof minusOne);
    void *headPointer = head;
    void *headArguments[] = {&headPointer};
    callVoid(FFIREF_FILL_LINKED_STRUCTURES, headArguments);
    const cJSON *values = at(at(cases, "fillLinkedStructures"), "values");
    int visited = 0, allocated = 0;
    unsigned char *node = head;
    while (node != NULL) {
        int32_t value;
        unsigned char *next;
        memcpy(&value, node + nodeValueOffset, sizeof value);
        memcpy(&next, node + nextOffset, sizeof next);
        checkInt(value, integer(cJSON_GetArrayItem(values, visited)),
                 "fillLinkedStructures node %d", visited);
        ++visited;
        if (node != head) {
            release(FFIREF_OPERATOR_DELETE, node);
            ++allocated;
        }
        node = next;
    }
    checkInt(visited, cJSON_GetArraySize(values), "fillLinkedStructures chain length");
    checkInt(allocated, 9, "fillLinkedStructures nodes released with operator delete");
}

static void doubleArrays(void) {
    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(cases, "findMinimum")) {
        double array[8];
        int length = 0;
        const cJSON *value;
        cJSON_ArrayForEach(value, at(kase, "array")) {
            array[length++] = number(value);
        }
        void *pointer = array;
        int32_t count = integer(at(kase, "count"));
        void *arguments[] = {&pointer, &count};
        double found;
        ffirefCall(&lib, FFIREF_FIND_MINIMUM, &found, arguments);
        check(sameDouble(found, number(at(kase, "expect"))),
              "findMinimum count %d (%d elements), got %g", count, length, found);
    }
    cJSON_ArrayForEach(kase, at(cases, "removeDuplicates")) {
        double array[8], before[8];
        int length = 0;
        const cJSON *value;
        cJSON_ArrayForEach(value, at(kase, "array")) {
            array[length++] = number(value);
        }
        memcpy(before, array, sizeof array);
        const int32_t entry = integer(at(kase, "count"));
        int32_t count = entry;
        void *pointer = array, *countPointer = &count;
        void *arguments[] = {&pointer, &countPointer};
        callVoid(FFIREF_REMOVE_DUPLICATES, arguments);
        const cJSON *expected = at(kase, "expect");
        if (cJSON_IsNull(expected)) {
            check(count == entry && memcmp(array, before, length * sizeof(double)) == 0,
                  "removeDuplicates count %d leaves everything", entry);
            continue;
        }
        checkInt(count, cJSON_GetArraySize(expected),
                 "removeDuplicates count %d (%d elements) new count", entry, length);
        int same = 1, i = 0;
        cJSON_ArrayForEach(value, expected) {
            same = same && sameDouble(array[i++], number(value));
        }
        check(same, "removeDuplicates count %d (%d elements) elements", entry, length);
        check(memcmp(array + entry, before + entry, (length - entry) * sizeof(double)) == 0,
              "removeDuplicates count %d beyond the count", entry);
    }
}

/* Callback handlers: libffi hands over the arguments by address. */
typedef struct SumState {
    int32_t add;
    int calls;
    int32_t seen;
} SumState;

static void sumHandler(ffi_cif *cif, void *result, void **arguments, void *user) {
    (void)cif;
    SumState *state = user;
    state->seen = *(int32_t *)arguments[0];
    ++state->calls;
    *(ffi_arg *)result = (ffi_arg)(int32_t)((uint32_t)state->seen + (uint32_t)state->add);
}

typedef struct CreateState {
    int store;
    int32_t *array;
    int calls;
    int32_t seen[3];
    int slotWasNull;
} CreateState;

static void createHandler(ffi_cif *cif, void *result, void **arguments, void *user) {
    (void)cif;
    (void)result;
    CreateState *state = user;
    for (int i = 0; i < 3; ++i) {
        state->seen[i] = *(int32_t *)arguments[i];
    }
    int32_t **slot = *(int32_t ***)arguments[3];
    state->slotWasNull = *slot == NULL;
    ++state->calls;
    if (state->store) {
        *slot = state->array;
    }
}

typedef struct FillState {
    const cJSON *store;
    int calls;
    int32_t start, count;
} FillState;

static void fillHandler(ffi_cif *cif, void *result, void **arguments, void *user) {
    (void)cif;
    (void)result;
    FillState *state = user;
    state->start = *(int32_t *)arguments[0];
    state->count = *(int32_t *)arguments[1];
    int32_t *array = *(int32_t **)arguments[2];
    ++state->calls;
    int i = 0;
    const cJSON *value;
    cJSON_ArrayForEach(value, state->store) {
        array[i++] = integer(value);
    }
}

static void callbacks(void) {
    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(cases, "calculateSum")) {
        SumState state = {integer(at(kase, "add")), 0, 0};
        FfirefClosure closure;
        if (!check(ffirefMakeClosure(&closure, FFIREF_CALCULATE_SUM_CALLBACK, sumHandler, &state) ==
                       0,
                   "closure for calculateSum")) {
            continue;
        }
        int32_t operand = integer(at(kase, "operand"));
        void *arguments[] = {&closure.code, &operand};
        checkInt(callInt(FFIREF_CALCULATE_SUM, arguments), integer(at(kase, "expect")),
                 "calculateSum %d + %d", operand, state.add);
        check(state.calls == 1 && state.seen == operand, "calculateSum %d callback arguments",
              operand);
        ffirefFreeClosure(&closure);
    }

    cJSON_ArrayForEach(kase, at(cases, "createArray")) {
        int32_t args[3], array[3];
        for (int i = 0; i < 3; ++i) {
            args[i] = array[i] = integer(cJSON_GetArrayItem(at(kase, "args"), i));
        }
        CreateState state = {cJSON_IsTrue(at(kase, "store")), array, 0, {0}, 0};
        FfirefClosure closure;
        if (!check(ffirefMakeClosure(&closure, FFIREF_CREATE_ARRAY_CALLBACK, createHandler,
                                     &state) == 0,
                   "closure for createArray")) {
            continue;
        }
        void *arguments[] = {&args[0], &args[1], &args[2], &closure.code};
        const void *result = callPointer(FFIREF_CREATE_ARRAY, arguments);
        check(state.calls == 1 && memcmp(state.seen, args, sizeof args) == 0 && state.slotWasNull,
              "createArray %d,%d,%d callback saw", args[0], args[1], args[2]);
        check(result == (state.store ? array : NULL), "createArray %d,%d,%d result", args[0],
              args[1], args[2]);
        check(memcmp(array, args, sizeof args) == 0, "createArray %d,%d,%d array untouched",
              args[0], args[1], args[2]);
        ffirefFreeClosure(&closure);
    }

    cJSON_ArrayForEach(kase, at(cases, "fillArray")) {
        FillState state = {at(kase, "store"), 0, 0, 0};
        FfirefClosure closure;
        if (!check(ffirefMakeClosure(&closure, FFIREF_FILL_ARRAY_CALLBACK, fillHandler, &state) ==
                       0,
                   "closure for fillArray")) {
            continue;
        }
        int32_t start = integer(at(kase, "start")), count = integer(at(kase, "count"));
        void *arguments[] = {&start, &count, &closure.code};
        Capture capture;
        captureBegin(&capture);
        const int32_t result = callInt(FFIREF_FILL_ARRAY, arguments);
        char written[512];
        captureEnd(&capture, written, sizeof written);
        checkInt(result, integer(at(kase, "expect")), "fillArray start %d count %d result", start,
                 count);
        check(state.calls == 1 && state.start == start && state.count == count,
              "fillArray start %d count %d callback saw", start, count);
        check(strcmp(written, at(kase, "stdout")->valuestring) == 0,
              "fillArray start %d count %d stdout: got %s", start, count, written);
        ffirefFreeClosure(&closure);
    }
}

static void strings(void) {
    const cJSON *kase;
    cJSON_ArrayForEach(kase, at(cases, "removeDuplicatesFromString")) {
        unsigned char input[64] = {0}, copy[64], expected[64] = {0};
        const size_t length = narrow(kase, "input", input);
        const size_t expectedLength = narrow(kase, "expect", expected);
        memcpy(copy, input, sizeof input);
        char *output = (char *)1; /* ignored by the library */
        void *inputPointer = input, *outputPointer = &output;
        void *arguments[] = {&inputPointer, &outputPointer};
        callVoid(FFIREF_REMOVE_DUPLICATES_FROM_STRING, arguments);
        const size_t got = strlen(output);
        checkInt((long long)got, (long long)expectedLength,
                 "removeDuplicatesFromString \"%s\" length", input);
        checkBytes(output, expected, got < expectedLength ? got : expectedLength,
                   "removeDuplicatesFromString \"%s\"", input);
        check(memcmp(input, copy, length + 1) == 0,
              "removeDuplicatesFromString \"%s\" input unchanged", input);
        /* new char[] in the library, delete[] here */
        release(FFIREF_OPERATOR_DELETE_ARRAY, output);
    }

    const wchar_t *buffer = NULL;
    cJSON_ArrayForEach(kase, at(cases, "findLongest")) {
        wchar_t list[512], expected[128];
        wideList(at(kase, "list"), list);
        expected[codePoints(at(kase, "expect")->valuestring, expected)] = L'\0';
        void *pointer = list;
        void *arguments[] = {&pointer};
        const wchar_t *found = callPointer(FFIREF_FIND_LONGEST, arguments);
        check(wcscmp(found, expected) == 0, "findLongest of %d strings, expecting \"%s\"",
              cJSON_GetArraySize(at(kase, "list")), at(kase, "expect")->valuestring);
        check(buffer == NULL || buffer == found, "findLongest returns its one buffer");
        buffer = found;
    }

    cJSON_ArrayForEach(kase, at(cases, "convert")) {
        wchar_t list[128];
        wideList(at(kase, "list"), list);
        unsigned char expected[128], output[128];
        size_t length = 0;
        const cJSON *text;
        cJSON_ArrayForEach(text, at(kase, "expect")) {
            strcpy((char *)expected + length, text->valuestring);
            length += strlen(text->valuestring) + 1;
        }
        expected[length] = 0xAA;
        memset(output, 0xAA, sizeof output);
        void *listPointer = list, *outputPointer = output;
        void *arguments[] = {&listPointer, &outputPointer};
        callVoid(FFIREF_CONVERT, arguments);
        checkBytes(output, expected, length + 1, "convert of %d strings",
                   cJSON_GetArraySize(at(kase, "list")));
    }
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : getenv("FFIREF_LIBRARY");
    if (path == NULL) {
        path = FFIREF_ROOT "/build/ci/libffiref.so";
    }
    const char *casesPath =
        getenv("FFIREF_CASES") ? getenv("FFIREF_CASES") : FFIREF_ROOT "/tests/clients/cases.json";
    char layoutPath[4096];
    if (getenv("FFIREF_LAYOUT")) {
        snprintf(layoutPath, sizeof layoutPath, "%s", getenv("FFIREF_LAYOUT"));
    } else {
        const char *slash = strrchr(path, '/');
        snprintf(layoutPath, sizeof layoutPath, "%.*s/layout/ffiref-layout-x86_64-linux-gnu.json",
                 slash ? (int)(slash - path) : 1, slash ? path : ".");
    }
    char *text = readFile(casesPath);
    cases = text ? cJSON_Parse(text) : NULL;
    free(text);
    if (cases == NULL || ffirefLoad(&lib, path) != 0) {
        printf("cannot read %s or load %s\n0 passed, 1 failed\n", casesPath, path);
        return 1;
    }
    exports();
    layout(layoutPath);
    plainCalls();
    globalData();
    packedRecords();
    pointerRecords();
    doubleArrays();
    callbacks();
    strings();
    cJSON_Delete(cases);
    if (skipped) {
        printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    } else {
        printf("%d passed, %d failed\n", passed, failed);
    }
    return failed ? 1 : 0;
}
