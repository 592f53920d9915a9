/*
 * Writes the layout of ffiref's records on the ABI it was compiled for, as
 * JSON, for FFI authors to compare their own declarations with.
 *
 * usage: layout_dump OUTPUT.json ABI-NAME
 *
 * Offsets and sizes come from the compiler; the bit positions of BitStructure
 * are found at run time by setting one bit of one field at a time and seeing
 * which bit of the record changes, so they show the allocation as it is, not
 * as anyone expects it to be.
 */
#include "ffiref.h"

#include <stdalign.h>
#include <stdio.h>
#include <string.h>

typedef struct Field {
    const char *name;
    size_t offset;
    size_t size;
} Field;

#define FIELD(record, name)                                                                        \
    { #name, offsetof(record, name), sizeof(((record *)0)->name) }

static const Field sample_fields[] = {
    FIELD(SampleStructure, firstByte),       FIELD(SampleStructure, halfword),
    FIELD(SampleStructure, firstWord),       FIELD(SampleStructure, secondWord),
    FIELD(SampleStructure, secondByte),      FIELD(SampleStructure, thirdWord),
    FIELD(SampleStructure, singleFloat),     FIELD(SampleStructure, firstDoubleword),
    FIELD(SampleStructure, secondDoubleword)};
static const Field union_fields[] = {FIELD(UnionStructure, tag), FIELD(UnionStructure, content)};
static const Field key_value_fields[] = {FIELD(KeyValueStructure, key),
                                         FIELD(KeyValueStructure, value)};
static const Field linked_fields[] = {FIELD(LinkedStructure, value), FIELD(LinkedStructure, next)};

#define COUNT(array) (sizeof(array) / sizeof((array)[0]))

enum { BIT_FIELDS = 5 };
static const char *const bit_names[BIT_FIELDS] = {"oneBit", "twoBitsA", "threeBits", "twoBitsB",
                                                  "tenBits"};
static const unsigned bit_widths[BIT_FIELDS] = {1, 2, 3, 2, 10};

static void set_bit_field(BitStructure *record, int field, unsigned value) {
    switch (field) {
    case 0:
        record->oneBit = value;
        break;
    case 1:
        record->twoBitsA = value;
        break;
    case 2:
        record->threeBits = value;
        break;
    case 3:
        record->twoBitsB = value;
        break;
    default:
        record->tenBits = value;
        break;
    }
}

static unsigned bit_field_sum(const BitStructure *record) {
    return record->oneBit + record->twoBitsA + record->threeBits + record->twoBitsB +
           record->tenBits;
}

static void write_hex(FILE *out, const void *bytes, size_t size) {
    const unsigned char *byte = bytes;
    for (size_t i = 0; i < size; ++i)
        fprintf(out, "%s%02X", i ? " " : "", byte[i]);
}

static void write_record(FILE *out, const char *name, size_t size, size_t alignment,
                         const Field *fields, size_t count, int last) {
    fprintf(out, "    \"%s\": {\"size\": %zu, \"alignment\": %zu, \"fields\": {\n", name, size,
            alignment);
    for (size_t i = 0; i < count; ++i)
        fprintf(out, "      \"%s\": {\"offset\": %zu, \"size\": %zu}%s\n", fields[i].name,
                fields[i].offset, fields[i].size, i + 1 < count ? "," : "");
    fprintf(out, "    }}%s\n", last ? "" : ",");
}

/* Finds where bit `bit` of a field lands: the record's byte and bit that the
 * value 1 << bit sets on a record of zeros. Returns 0 if not exactly one. */
static int locate_bit(int field, unsigned bit, unsigned *byte_index, unsigned *bit_index) {
    BitStructure record;
    memset(&record, 0, sizeof record);
    set_bit_field(&record, field, 1u << bit);
    unsigned char bytes[sizeof record];
    memcpy(bytes, &record, sizeof record);
    int found = 0;
    for (unsigned i = 0; i < sizeof bytes; ++i)
        for (unsigned b = 0; b < 8; ++b)
            if (bytes[i] >> b & 1u) {
                *byte_index = i;
                *bit_index = b;
                ++found;
            }
    return found == 1;
}

/* Segments of a field from its most significant bits down: runs of bits that
 * lie next to each other, high to low, in one byte. */
static int write_bit_field(FILE *out, int field) {
    unsigned byte = 0, high = 0, low = 0;
    int open = 0;
    fprintf(out, "      \"%s\": {\"width\": %u, \"segments\": [", bit_names[field],
            bit_widths[field]);
    for (unsigned bit = bit_widths[field]; bit-- > 0;) {
        unsigned at_byte, at_bit;
        if (!locate_bit(field, bit, &at_byte, &at_bit))
            return 0;
        if (open && at_byte == byte && at_bit + 1 == low) {
            low = at_bit;
            continue;
        }
        if (open)
            fprintf(out, "{\"byte\": %u, \"high_bit\": %u, \"low_bit\": %u}, ", byte, high, low);
        byte = at_byte;
        high = low = at_bit;
        open = 1;
    }
    fprintf(out, "{\"byte\": %u, \"high_bit\": %u, \"low_bit\": %u}]}%s\n", byte, high, low,
            field + 1 < BIT_FIELDS ? "," : "");
    return 1;
}

static void write_bit_sample(FILE *out, const unsigned values[BIT_FIELDS]) {
    BitStructure record;
    memset(&record, 0, sizeof record);
    fprintf(out, "    {\"record\": \"BitStructure\", \"values\": {");
    for (int i = 0; i < BIT_FIELDS; ++i) {
        set_bit_field(&record, i, values[i]);
        fprintf(out, "%s\"%s\": %u", i ? ", " : "", bit_names[i], values[i]);
    }
    fprintf(out, "}, \"bytes\": \"");
    write_hex(out, &record, sizeof record);
    fprintf(out, "\", \"sum\": %u},\n", bit_field_sum(&record));
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s OUTPUT.json ABI-NAME\n", argv[0]);
        return 2;
    }
    char temporary[4096];
    if (snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]) >= (int)sizeof temporary)
        return 2;
    FILE *out = fopen(temporary, "w");
    if (!out) {
        perror(temporary);
        return 1;
    }

    const unsigned one = 1;
    unsigned char first_byte;
    memcpy(&first_byte, &one, 1);
    fprintf(out, "{\n  \"abi\": \"%s\",\n  \"byte_order\": \"%s\",\n", argv[2],
            first_byte ? "little" : "big");
    fprintf(out, "  \"pointer_size\": %zu,\n  \"wchar_size\": %zu,\n", sizeof(void *),
            sizeof(wchar_t));

    fprintf(out, "  \"records\": {\n");
    write_record(out, "SampleStructure", sizeof(SampleStructure), alignof(SampleStructure),
                 sample_fields, COUNT(sample_fields), 0);
    write_record(out, "UnionStructure", sizeof(UnionStructure), alignof(UnionStructure),
                 union_fields, COUNT(union_fields), 0);
    write_record(out, "KeyValueStructure", sizeof(KeyValueStructure), alignof(KeyValueStructure),
                 key_value_fields, COUNT(key_value_fields), 0);
    write_record(out, "LinkedStructure", sizeof(LinkedStructure), alignof(LinkedStructure),
                 linked_fields, COUNT(linked_fields), 0);
    fprintf(out, "    \"BitStructure\": {\"size\": %zu, \"alignment\": %zu, \"fields\": {\n",
            sizeof(BitStructure), alignof(BitStructure));
    for (int field = 0; field < BIT_FIELDS; ++field)
        if (!write_bit_field(out, field)) {
            fprintf(stderr, "%s: a bit of %s sets no single bit of the record\n", argv[0],
                    bit_names[field]);
            fclose(out);
            remove(temporary);
            return 1;
        }
    fprintf(out, "    }}\n  },\n");

    fprintf(out, "  \"samples\": [\n");
    static const unsigned bit_samples[][BIT_FIELDS] = {
        {1, 1, 1, 1, 783},  {1, 3, 7, 3, 1023}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0},
        {0, 2, 0, 0, 0},    {0, 0, 4, 0, 0},    {0, 0, 0, 3, 0}, {0, 0, 0, 0, 512},
        {0, 0, 0, 0, 1023}, {0, 0, 0, 0, 2}};
    for (size_t i = 0; i < COUNT(bit_samples); ++i)
        write_bit_sample(out, bit_samples[i]);

    UnionStructure tagged;
    memset(&tagged, 0, sizeof tagged);
    tagged.tag = 255;
    tagged.content.intValue = 0x01020304;
    fprintf(out, "    {\"record\": \"UnionStructure\", \"values\": {\"tag\": 255, "
                 "\"content.intValue\": 16909060}, \"bytes\": \"");
    write_hex(out, &tagged, sizeof tagged);
    tagged.tag = 1;
    tagged.content.floatValue = 1.5f;
    fprintf(out, "\"},\n    {\"record\": \"UnionStructure\", \"values\": {\"tag\": 1, "
                 "\"content.floatValue\": 1.5}, \"bytes\": \"");
    write_hex(out, &tagged, sizeof tagged);

    SampleStructure sample;
    memset(&sample, 0, sizeof sample);
    sample.firstByte = 1;
    sample.halfword = 0x0203;
    sample.firstWord = 0x04050607;
    sample.secondWord = 0x08090A0B;
    sample.secondByte = 12;
    sample.thirdWord = 0x0D0E0F10;
    sample.singleFloat = 1.5f;
    sample.firstDoubleword = 1.0;
    sample.secondDoubleword = -2.5;
    fprintf(out, "\"},\n    {\"record\": \"SampleStructure\", \"values\": {\"firstByte\": 1, "
                 "\"halfword\": 515, \"firstWord\": 67438087, \"secondWord\": 134810123, "
                 "\"secondByte\": 12, \"thirdWord\": 219025168, \"singleFloat\": 1.5, "
                 "\"firstDoubleword\": 1.0, \"secondDoubleword\": -2.5}, \"bytes\": \"");
    write_hex(out, &sample, sizeof sample);
    fprintf(out, "\"}\n  ]\n}\n");

    remove(argv[1]); /* rename() keeps an existing file on Windows */
    if (fclose(out) != 0 || rename(temporary, argv[1]) != 0) {
        perror(argv[1]);
        remove(temporary);
        return 1;
    }
    return 0;
}
