// sumStdCall, printStringCdeclCall and _data, called through the loaded library.
#include "library.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

using ffiref_test::StdoutCapture;

// Spelled out, not taken from the header: a name misspelt in the header and
// the library alike must still fail here.
TEST(Library, ResolvesEveryExportByName) {
    const char *const names[] = {
        "_data",
        "sumStdCall",
        "printStringCdeclCall",
        "copySampleStructure",
        "copyUnionStructure",
        "calculateSunFromBitStructure",
        "fillKeyValueStructure",
        "findValueByKey",
        "fillLinkedStructures",
        "findMinimum",
        "removeDuplicates",
        "calculateSum",
        "createArray",
        "fillArray",
        "removeDuplicatesFromString",
        "findLongest",
        "convert",
    };
    for (const char *name : names) {
        EXPECT_NO_THROW(ffiref_test::rawSymbol(name)) << name;
    }
}

TEST(SumStdCall, AddsWithTwosComplementWrapAround) {
    struct Case {
        int32_t a, b, sum;
    };
    const Case cases[] = {
        {2, 3, 5},
        {-7, 4, -3},
        {0, 0, 0},
        {INT32_MAX, 1, INT32_MIN},
        {INT32_MIN, -1, INT32_MAX},
        {INT32_MAX, INT32_MAX, -2},
        {INT32_MIN, INT32_MIN, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FFIREF(sumStdCall)(c.a, c.b), c.sum) << c.a << " + " << c.b;
    }
}

TEST(PrintStringCdeclCall, WritesTheBytesAndOneNewline) {
    struct Case {
        const char *text;
        std::string expected;
    };
    const Case cases[] = {
        {"", "\n"},
        {"abc", "abc\n"},
        {"line\n", "line\n\n"},
        {"\xE9\xFF\x80 high bytes", "\xE9\xFF\x80 high bytes\n"},
    };
    for (const Case &c : cases) {
        StdoutCapture capture;
        const int32_t result = FFIREF(printStringCdeclCall)(c.text);
        EXPECT_GE(result, 0) << c.text;
        EXPECT_EQ(capture.flushed(), c.expected);
    }
}

TEST(PrintStringCdeclCall, LeavesTheLineInTheStreamBuffer) {
    StdoutCapture capture;
    FFIREF(printStringCdeclCall)("still buffered");
    EXPECT_EQ(capture.written(), "") << "the library flushed stdout";
    EXPECT_EQ(capture.flushed(), "still buffered\n");
}

TEST(PrintStringCdeclCall, HandsBackTheFailureOfPuts) {
    // A closed descriptor 1 makes the write, and so puts, fail at the flush;
    // with an unbuffered stream that flush is inside puts.
    std::fflush(stdout);
    const int saved = dup(1);
    close(1);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int32_t result = FFIREF(printStringCdeclCall)("nowhere");
    std::clearerr(stdout);
    dup2(saved, 1);
    close(saved);
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    EXPECT_LT(result, 0);
}

TEST(Data, HoldsTheTextAndKeepsWhatACallerWrites) {
    char *data = FFIREF_DATA;
    EXPECT_EQ(std::memcmp(data, "Test string.", 13), 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 4, 0u);

    char original[13];
    std::memcpy(original, data, sizeof original);
    std::strcpy(data, "Hello, FFI!");
    EXPECT_STREQ(FFIREF_DATA, "Hello, FFI!");
    std::memcpy(data, original, sizeof original);
}

} // namespace
