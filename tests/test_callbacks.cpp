// calculateSum, createArray and fillArray, called through the loaded library
// with callbacks of the test's own.
#include "library.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using ffiref_test::StdoutCapture;

// What the callbacks saw. Callbacks are plain function pointers, so they
// report through globals, reset before every call.
struct Seen {
    int calls = 0;
    int32_t arguments[3] = {};
    bool slotWasNull = false;
    bool arrayWasNull = false;
};
Seen seen;

// A failure of the caller's own that must reach the caller unchanged.
struct CallbackFailure {
    int32_t payload;
};

// ---------------------------------------------------------------- calculateSum

int32_t plusOne(int32_t operand) {
    ++seen.calls;
    seen.arguments[0] = operand;
    return operand + 1;
}

int32_t echo(int32_t operand) {
    ++seen.calls;
    seen.arguments[0] = operand;
    return operand;
}

int32_t smallest(int32_t operand) {
    ++seen.calls;
    seen.arguments[0] = operand;
    return INT32_MIN;
}

int32_t largest(int32_t operand) {
    ++seen.calls;
    seen.arguments[0] = operand;
    return INT32_MAX;
}

int32_t throwing(int32_t operand) {
    throw CallbackFailure{operand};
}

TEST(CalculateSum, HandsTheOperandToTheCallbackOnceAndItsResultBack) {
    struct Case {
        CalculateSumCallback callback;
        int32_t operand;
        int32_t result;
    };
    const Case cases[] = {
        {plusOne, 41, 42},
        {plusOne, -7, -6},
        {echo, -7, -7},
        {echo, 0, 0},
        {echo, INT32_MIN, INT32_MIN},
        {echo, INT32_MAX, INT32_MAX},
        {smallest, 5, INT32_MIN}, // nothing is added to what the callback returns
        {largest, -5, INT32_MAX},
    };
    for (const Case &c : cases) {
        seen = Seen{};
        EXPECT_EQ(FFIREF(calculateSum)(c.callback, c.operand), c.result) << c.operand;
        EXPECT_EQ(seen.calls, 1) << c.operand;
        EXPECT_EQ(seen.arguments[0], c.operand);
    }
}

// ---------------------------------------------------------------- createArray

int32_t callersArray[3] = {10, 20, 30};

void recordCreate(int32_t first, int32_t second, int32_t third, int32_t **arraySlot) {
    ++seen.calls;
    seen.arguments[0] = first;
    seen.arguments[1] = second;
    seen.arguments[2] = third;
    seen.slotWasNull = *arraySlot == nullptr;
}

void storeArray(int32_t first, int32_t second, int32_t third, int32_t **arraySlot) {
    recordCreate(first, second, third, arraySlot);
    *arraySlot = callersArray;
}

void storeOnePastTheEnd(int32_t first, int32_t second, int32_t third, int32_t **arraySlot) {
    recordCreate(first, second, third, arraySlot);
    *arraySlot = callersArray + 3; // any address comes back, never dereferenced
}

void storeNothing(int32_t first, int32_t second, int32_t third, int32_t **arraySlot) {
    recordCreate(first, second, third, arraySlot);
}

void throwingCreate(int32_t first, int32_t, int32_t, int32_t **arraySlot) {
    *arraySlot = callersArray;
    throw CallbackFailure{first};
}

TEST(CreateArray, PassesTheIntegersOnAndReturnsWhatTheCallbackStored) {
    struct Case {
        CreateArrayCallback callback;
        int32_t first, second, third;
        int32_t *result;
    };
    // Storing nothing right after storing something: a slot that is not
    // cleared on entry would still hold the previous call's address.
    const Case cases[] = {
        {storeArray, 1, 2, 3, callersArray},
        {storeNothing, 1, 2, 3, nullptr},
        {storeArray, INT32_MIN, -1, INT32_MAX, callersArray},
        {storeOnePastTheEnd, 0, 0, 0, callersArray + 3},
        {storeNothing, 3, 2, 1, nullptr},
    };
    for (const Case &c : cases) {
        seen = Seen{};
        int32_t *result = FFIREF(createArray)(c.first, c.second, c.third, c.callback);
        EXPECT_EQ(result, c.result) << c.first << ", " << c.second << ", " << c.third;
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.arguments[0], c.first);
        EXPECT_EQ(seen.arguments[1], c.second);
        EXPECT_EQ(seen.arguments[2], c.third);
        EXPECT_TRUE(seen.slotWasNull) << "the slot was not null when the callback ran";
        EXPECT_EQ(callersArray[0], 10);
        EXPECT_EQ(callersArray[1], 20);
        EXPECT_EQ(callersArray[2], 30);
    }
}

// ---------------------------------------------------------------- fillArray

// Values the fill callback stores, element by element (fewer than count
// leaves the rest as the library allocated it; no case does that).
std::vector<int32_t> fillWith;

void fill(int32_t start, int32_t count, int32_t *array) {
    ++seen.calls;
    seen.arguments[0] = start;
    seen.arguments[1] = count;
    seen.arrayWasNull = array == nullptr;
    for (std::size_t i = 0; i < fillWith.size() && static_cast<int64_t>(i) < count; ++i) {
        array[i] = fillWith[i];
    }
}

void fillThenThrow(int32_t start, int32_t count, int32_t *array) {
    fill(start, count, array);
    throw CallbackFailure{start};
}

TEST(FillArray, ReportsEveryElementAndReturnsTheVerdict) {
    struct Case {
        int32_t start, count;
        std::vector<int32_t> stored;
        int32_t verdict;
        std::string lines;
    };
    const Case cases[] = {
        {5,
         3,
         {5, 6, 7},
         1,
         "array[0] = 5 should be 5 \n"
         "array[1] = 6 should be 6 \n"
         "array[2] = 7 should be 7 \n"},
        // A mismatch neither stops the loop nor is undone by later matches.
        {5,
         3,
         {5, 13, 7},
         0,
         "array[0] = 5 should be 5 \n"
         "array[1] = 13 should be 6 \n"
         "array[2] = 7 should be 7 \n"},
        {5,
         3,
         {6, 6, 7},
         0,
         "array[0] = 6 should be 5 \n"
         "array[1] = 6 should be 6 \n"
         "array[2] = 7 should be 7 \n"},
        {5,
         3,
         {5, 6, 8},
         0,
         "array[0] = 5 should be 5 \n"
         "array[1] = 6 should be 6 \n"
         "array[2] = 8 should be 7 \n"},
        {-2,
         4,
         {-2, -1, 0, 1},
         1,
         "array[0] = -2 should be -2 \n"
         "array[1] = -1 should be -1 \n"
         "array[2] = 0 should be 0 \n"
         "array[3] = 1 should be 1 \n"},
        // The expected values wrap around past the largest integer.
        {INT32_MAX - 1,
         3,
         {INT32_MAX - 1, INT32_MAX, INT32_MIN},
         1,
         "array[0] = 2147483646 should be 2147483646 \n"
         "array[1] = 2147483647 should be 2147483647 \n"
         "array[2] = -2147483648 should be -2147483648 \n"},
        {INT32_MAX - 1,
         3,
         {INT32_MAX - 1, INT32_MAX, INT32_MAX},
         0,
         "array[0] = 2147483646 should be 2147483646 \n"
         "array[1] = 2147483647 should be 2147483647 \n"
         "array[2] = 2147483647 should be -2147483648 \n"},
        {INT32_MIN, 1, {INT32_MIN}, 1, "array[0] = -2147483648 should be -2147483648 \n"},
        // An empty array: one callback call, no line, verdict 1.
        {7, 0, {}, 1, ""},
        // A negative count gets an empty array too, and still one call with
        // the count as given.
        {7, -1, {}, 1, ""},
        {7, INT32_MIN, {}, 1, ""},
    };
    for (const Case &c : cases) {
        seen = Seen{};
        fillWith = c.stored;
        int32_t verdict;
        std::string unflushed, lines;
        {
            StdoutCapture capture;
            verdict = FFIREF(fillArray)(c.start, c.count, fill);
            unflushed = capture.written();
            lines = capture.flushed();
        }
        const std::string what =
            "start " + std::to_string(c.start) + " count " + std::to_string(c.count);
        EXPECT_EQ(verdict, c.verdict) << what;
        EXPECT_EQ(lines, c.lines) << what;
        EXPECT_EQ(unflushed, "") << what << ": the library flushed stdout";
        EXPECT_EQ(seen.calls, 1) << what;
        EXPECT_EQ(seen.arguments[0], c.start) << what;
        EXPECT_EQ(seen.arguments[1], c.count) << what;
        EXPECT_FALSE(seen.arrayWasNull) << what << ": the callback got no array";
    }
}

// ---------------------------------------------------------------- exceptions

TEST(Callbacks, AnExceptionFromTheCallbackReachesTheCallerUnchanged) {
    // fillArray must also release its array on this path; the valgrind run
    // of this binary shows that it does.
    struct Case {
        const char *function;
        int32_t (*call)(int32_t value);
    };
    const Case cases[] = {
        {"calculateSum", [](int32_t value) { return FFIREF(calculateSum)(throwing, value); }},
        {"createArray",
         [](int32_t value) {
             return FFIREF(createArray)(value, 0, 0, throwingCreate) == nullptr ? 0 : 1;
         }},
        {"fillArray", [](int32_t value) { return FFIREF(fillArray)(value, 3, fillThenThrow); }},
        {"fillArray, empty",
         [](int32_t value) { return FFIREF(fillArray)(value, 0, fillThenThrow); }},
    };
    for (const Case &c : cases) {
        fillWith = {1, 2, 3};
        std::string lines;
        bool caught = false;
        {
            StdoutCapture capture;
            try {
                c.call(-12345);
            } catch (const CallbackFailure &failure) {
                caught = failure.payload == -12345;
            }
            lines = capture.flushed();
        }
        EXPECT_TRUE(caught) << c.function << ": the exception did not arrive unchanged";
        EXPECT_EQ(lines, "") << c.function;
    }
}

} // namespace
