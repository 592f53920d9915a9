/*
 * A tour of ffiref. It loads the library by path and calls every export
 * through a pointer found by name, exactly as a foreign-function interface
 * does, and prints what came back.
 *
 * usage: tour [path/to/libffiref.so]
 */
#include "ffiref.h"

#include <dlfcn.h>
#include <locale.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void *library;

/* dlsym hands back a data pointer; memcpy turns it into a function pointer
 * without the cast that ISO C forbids. */
static void *lookUp(const char *name) {
    void *address = dlsym(library, name);
    if (address == NULL) {
        fprintf(stderr, "tour: %s is not exported: %s\n", name, dlerror());
        exit(1);
    }
    return address;
}
#define RESOLVE(name, variable)                                                                    \
    do {                                                                                           \
        void *address_ = lookUp(#name);                                                            \
        memcpy(&(variable), &address_, sizeof address_);                                           \
    } while (0)

/* The C++ runtime's operator delete and operator delete[], for the memory
 * that the library hands out. Looked up the way the library's own operator new
 * was bound: in the program's global scope first (where a replacement, such as
 * a sanitizer's or valgrind's, lives), then in the library's dependencies. */
static void *runtimeFunction(const char *name) {
    void *program = dlopen(NULL, RTLD_NOW);
    void *address = program != NULL ? dlsym(program, name) : NULL;
    return address != NULL ? address : lookUp(name);
}
static void operatorDelete(void *pointer) {
    void (*release)(void *);
    void *address = runtimeFunction("_ZdlPv");
    memcpy(&release, &address, sizeof address);
    release(pointer);
}
static void operatorDeleteArray(void *pointer) {
    void (*release)(void *);
    void *address = runtimeFunction("_ZdaPv");
    memcpy(&release, &address, sizeof address);
    release(pointer);
}

static void section(const char *title) {
    printf("\n== %s\n", title);
}

static int32_t FFIREF_CDECL addOneHundred(int32_t operand) {
    return operand + 100;
}

static int32_t callerOwnedArray[3];
static void FFIREF_CDECL storeArray(int32_t first, int32_t second, int32_t third,
                                    int32_t **arraySlot) {
    callerOwnedArray[0] = first;
    callerOwnedArray[1] = second;
    callerOwnedArray[2] = third;
    *arraySlot = callerOwnedArray;
}

static void FFIREF_CDECL countUp(int32_t start, int32_t count, int32_t *array) {
    int32_t i;
    for (i = 0; i < count; ++i) {
        array[i] = start + i;
    }
}

static void printWide(const wchar_t *text) {
    putchar('"');
    for (; *text != L'\0'; ++text) {
        putchar(*text < 128 ? (int)*text : '?');
    }
    putchar('"');
}

static void plainCalls(void) {
    int32_t(FFIREF_STDCALL * sum)(int32_t, int32_t);
    int32_t(FFIREF_CDECL * print)(const char *);
    const char *data = (const char *)lookUp("_data");
    RESOLVE(sumStdCall, sum);
    RESOLVE(printStringCdeclCall, print);

    section("plain calls");
    printf("sumStdCall(2, 3) = %d\n", sum(2, 3));
    printf("sumStdCall(2147483647, 1) = %d (wraps around)\n", sum(2147483647, 1));
    printf("printStringCdeclCall(\"Hello from the library\") writes:\n");
    fflush(stdout); /* the library's puts shares this stream; keep the order */
    printf("  -> returned %d\n", print("Hello from the library"));
    printf("_data = \"%s\" (%zu bytes with its terminator)\n", data, strlen(data) + 1);
}

static void packedRecords(void) {
    void(FFIREF_CDECL * copySample)(const SampleStructure *, SampleStructure *);
    void(FFIREF_CDECL * copyUnion)(const UnionStructure *, UnionStructure *);
    int32_t(FFIREF_CDECL * sumBits)(const BitStructure *);
    SampleStructure sample = {1, 2, 3, 4, 5, 6, 7.5f, 8.25, -9.0}, sampleCopy;
    UnionStructure tagged, taggedCopy;
    BitStructure bits = {1, 1, 1, 1, 783};
    const unsigned char *bytes = (const unsigned char *)&bits;
    RESOLVE(copySampleStructure, copySample);
    RESOLVE(copyUnionStructure, copyUnion);
    RESOLVE(calculateSunFromBitStructure, sumBits);

    section("packed records");
    memset(&sampleCopy, 0, sizeof sampleCopy);
    copySample(&sample, &sampleCopy);
    printf("copySampleStructure: %zu bytes, copy %s; thirdWord %d, singleFloat %g, "
           "secondDoubleword %g\n",
           sizeof sample, memcmp(&sample, &sampleCopy, sizeof sample) == 0 ? "equal" : "DIFFERS",
           sampleCopy.thirdWord, sampleCopy.singleFloat, sampleCopy.secondDoubleword);

    tagged.tag = 255;
    tagged.content.intValue = 0x01020304;
    copyUnion(&tagged, &taggedCopy);
    printf("copyUnionStructure: %zu bytes, tag %u, content 0x%08x\n", sizeof tagged, taggedCopy.tag,
           (unsigned)taggedCopy.content.intValue);

    printf("calculateSunFromBitStructure(1, 1, 1, 1, 783) = %d; the record's bytes: "
           "%02X %02X %02X\n",
           sumBits(&bits), bytes[0], bytes[1], bytes[2]);
}

static void pointerRecords(void) {
    void(FFIREF_CDECL * fill)(KeyValueStructure *);
    const char *(FFIREF_CDECL * find)(const KeyValueStructure *, int32_t, int32_t);
    void(FFIREF_CDECL * link)(LinkedStructure *);
    int32_t days = 0, keys[3] = {5, 7, 5};
    KeyValueStructure record, records[3];
    LinkedStructure head, *node;
    RESOLVE(fillKeyValueStructure, fill);
    RESOLVE(findValueByKey, find);
    RESOLVE(fillLinkedStructures, link);

    section("records holding pointers");
    record.key = &days;
    record.value = NULL;
    fill(&record);
    printf("fillKeyValueStructure: key -> %d, value -> \"%s\"\n", *record.key, record.value);

    records[0].key = &keys[0];
    records[0].value = "first five";
    records[1].key = &keys[1];
    records[1].value = "seven";
    records[2].key = &keys[2];
    records[2].value = "last five";
    printf("findValueByKey(key 5) = \"%s\" (the last match wins)\n", find(records, 3, 5));
    printf("findValueByKey(key 6) = %s\n", find(records, 3, 6) == NULL ? "NULL" : "?");

    link(&head);
    printf("fillLinkedStructures:");
    for (node = &head; node != NULL; node = node->next) {
        printf(" %d", node->value);
    }
    printf("\n");
    /* The nine nodes came from the library's operator new: release them with
     * operator delete, found by its mangled name in the C++ runtime that the
     * library loaded. */
    for (node = head.next; node != NULL;) {
        LinkedStructure *next = node->next;
        operatorDelete(node);
        node = next;
    }
}

static void doubleArrays(void) {
    double(FFIREF_CDECL * minimum)(const double *, int32_t);
    void(FFIREF_CDECL * dedupe)(double *, int32_t *);
    double values[] = {3.0, 1.0, 2.0, 1.0, NAN, -0.0, 0.0, 3.0};
    int32_t count = 8, i;
    RESOLVE(findMinimum, minimum);
    RESOLVE(removeDuplicates, dedupe);

    section("double arrays");
    printf("findMinimum(3, 1, 2, 1, nan, -0, 0, 3) = %g\n", minimum(values, count));
    dedupe(values, &count);
    printf("removeDuplicates -> count %d:", count);
    for (i = 0; i < count; ++i) {
        printf(" %g", values[i]);
    }
    printf("\n");
}

static void callbacks(void) {
    int32_t(FFIREF_CDECL * sum)(CalculateSumCallback, int32_t);
    int32_t *(FFIREF_CDECL * create)(int32_t, int32_t, int32_t, CreateArrayCallback);
    int32_t(FFIREF_CDECL * fill)(int32_t, int32_t, FillArrayCallback);
    int32_t *created;
    int32_t verdict;
    RESOLVE(calculateSum, sum);
    RESOLVE(createArray, create);
    RESOLVE(fillArray, fill);

    section("callbacks");
    printf("calculateSum(operand + 100, 42) = %d\n", sum(addOneHundred, 42));
    created = create(1, 2, 3, storeArray);
    printf("createArray(1, 2, 3) = the caller's array? %s; it holds %d %d %d\n",
           created == callerOwnedArray ? "yes" : "no", created[0], created[1], created[2]);
    printf("fillArray(5, 3) prints:\n");
    fflush(stdout);
    verdict = fill(5, 3, countUp);
    printf("  -> verdict %d\n", verdict);
}

static void strings(void) {
    void(FFIREF_CDECL * dedupe)(const char *, char **);
    const wchar_t *(FFIREF_CDECL * longest)(const wchar_t *);
    void(FFIREF_CDECL * narrow)(const wchar_t *, char *);
    static const wchar_t list[] = L"ab\0xyz\0fg\0";
    char *unique = NULL;
    char narrowed[sizeof list / sizeof list[0]];
    size_t i;
    RESOLVE(removeDuplicatesFromString, dedupe);
    RESOLVE(findLongest, longest);
    RESOLVE(convert, narrow);

    section("strings");
    dedupe("mississippi", &unique);
    printf("removeDuplicatesFromString(\"mississippi\") = \"%s\"\n", unique);
    operatorDeleteArray(unique); /* it came from new char[] */

    printf("findLongest(ab, xyz, fg) = ");
    printWide(longest(list));
    printf("\n");

    memset(narrowed, '.', sizeof narrowed);
    narrow(list, narrowed);
    printf("convert(ab, xyz, fg) =");
    for (i = 0; i + 1 < sizeof narrowed; ++i) {
        printf(narrowed[i] == '\0' ? " \\0" : " %c", narrowed[i]);
    }
    printf("  (the last byte is not written)\n");
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "./libffiref.so";
    setlocale(LC_ALL, "C"); /* convert narrows with the current locale */
    library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "tour: cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    printf("Loaded %s\n", path);
    plainCalls();
    packedRecords();
    pointerRecords();
    doubleArrays();
    callbacks();
    strings();
    fflush(stdout);
    dlclose(library);
    return 0;
}
