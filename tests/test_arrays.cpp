// findMinimum and removeDuplicates, called through the loaded library. Every
// array ends where an inaccessible page begins, so a read or write past the
// count faults instead of passing unnoticed.
#include "guarded_memory.h"
#include "library.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using ffiref_test::BeforeUnmappedPage;
using ffiref_test::Guarded;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Bit patterns, so that no comparison hides a sign or a NaN payload.
uint64_t bitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::string describe(const std::vector<double> &values, int32_t count) {
    std::string text = "{";
    for (double value : values) {
        text += (text.size() > 1 ? ", " : "") + std::to_string(value);
        if (value == 0.0 && std::signbit(value)) {
            text += "(-0)";
        }
    }
    return text + "} count " + std::to_string(count);
}

// The first `elements` values placed right before an inaccessible page.
void placeBeforePage(const BeforeUnmappedPage &page, const std::vector<double> &values,
                     std::size_t elements) {
    std::memcpy(page.data(), values.data(), elements * sizeof(double));
}

TEST(FindMinimum, ReturnsTheFirstSmallestOfTheCountedElements) {
    struct Case {
        std::vector<double> values;
        int32_t count;
        double minimum;
    };
    const Case cases[] = {
        {{3.0, 1.0, 2.0}, 3, 1.0},
        {{2.0, 1.0, 0.5}, 2, 1.0}, // 0.5 lies beyond the count
        {{7.5, 1.0}, 1, 7.5},
        {{7.5, 1.0}, 0, 7.5}, // element 0 is read whatever the count
        {{7.5, 1.0}, -3, 7.5},
        {{7.5, 1.0}, INT32_MIN, 7.5},
        {{+0.0, -0.0}, 2, +0.0}, // equal zeros: the first one wins
        {{-0.0, +0.0}, 2, -0.0},
        {{1.0, -0.0, +0.0, 0.0}, 4, -0.0},
        {{kNaN, 1.0, -5.0}, 3, kNaN}, // nothing is less than a NaN at index 0
        {{4.0, kNaN, 2.0}, 3, 2.0},   // a later NaN never wins
        {{4.0, kNaN}, 2, 4.0},
        {{kInf, -kInf, 0.0}, 3, -kInf},
        {{kInf, kInf}, 2, kInf},
        {{-1e308, std::numeric_limits<double>::denorm_min(), -kInf}, 3, -kInf},
        {{5.0, 4.0, 3.0, 2.0, 1.0, 0.5, -0.5}, 7, -0.5},
    };
    for (const Case &c : cases) {
        // Exactly max(count, 1) elements are readable.
        const std::size_t readable = c.count > 1 ? static_cast<std::size_t>(c.count) : 1;
        BeforeUnmappedPage page(readable * sizeof(double));
        placeBeforePage(page, c.values, readable);

        const double minimum = FFIREF(findMinimum)(page.as<double>(), c.count);

        if (std::isnan(c.minimum)) {
            // A NaN returned on the x87 stack may come back quieted.
            EXPECT_TRUE(std::isnan(minimum)) << describe(c.values, c.count);
        } else {
            EXPECT_EQ(bitsOf(minimum), bitsOf(c.minimum))
                << describe(c.values, c.count) << ": got " << minimum << " (sign "
                << std::signbit(minimum) << ")";
        }
        EXPECT_EQ(std::memcmp(page.data(), c.values.data(), readable * sizeof(double)), 0)
            << "the array was written";
    }
}

TEST(RemoveDuplicates, KeepsTheFirstOfEachValueAndTouchesNothingBeyondTheCount) {
    struct Case {
        std::vector<double> values; // the whole array
        int32_t count;              // the count passed
        std::vector<double> kept;   // the front afterwards; its size is the new count
    };
    const Case cases[] = {
        {{1, 2, 1, 3, 2}, 5, {1, 2, 3}},
        {{1, 1, 1}, 3, {1}},
        {{2, 2, 3, 3, 3, 4}, 6, {2, 3, 4}},
        {{1, 2, 1, 2}, 4, {1, 2}},
        {{1, 2, 3}, 3, {1, 2, 3}},
        {{5, 4, 5, 4, 5, 4, 3}, 7, {5, 4, 3}},
        {{kNaN, kNaN, 1, kNaN}, 4, {kNaN, kNaN, 1, kNaN}}, // NaN equals nothing
        {{kNaN, 1, 1, kNaN}, 4, {kNaN, 1, kNaN}},
        {{+0.0, -0.0, +0.0}, 3, {+0.0}}, // the first zero met survives, sign and all
        {{-0.0, +0.0}, 2, {-0.0}},
        {{3, -0.0, 3, +0.0, -kInf, -kInf, kInf}, 7, {3, -0.0, -kInf, kInf}},
        {{9}, 1, {9}},
        {{1, 1, 2, 1}, 2, {1}},       // elements 2 and 3 lie beyond the count
        {{1, 2, 3, 1}, 3, {1, 2, 3}}, // a repeat just past the count plays no part
        {{4, 4}, 0, {}},              // count 0 or less: nothing is touched
        {{4, 4}, -2, {}},
        {{4, 4}, INT32_MIN, {}},
    };
    for (const Case &c : cases) {
        const std::string what = describe(c.values, c.count);
        const int32_t expectedCount = c.count > 0 ? static_cast<int32_t>(c.kept.size()) : c.count;
        const std::size_t counted = c.count > 0 ? static_cast<std::size_t>(c.count) : 0;

        // Only the counted elements are accessible (none at all for a count of
        // 0 or less: the pointer is then the inaccessible page itself).
        {
            BeforeUnmappedPage page(counted * sizeof(double));
            placeBeforePage(page, c.values, counted);
            int32_t count = c.count;
            FFIREF(removeDuplicates)(page.as<double>(), &count);
            ASSERT_EQ(count, expectedCount) << what;
            for (std::size_t i = 0; i < c.kept.size(); ++i) {
                EXPECT_EQ(bitsOf(page.as<double>()[i]), bitsOf(c.kept[i]))
                    << what << ", element " << i;
            }
        }

        // The whole array with guards: everything from the count on keeps
        // its bits, and so does the memory around the array and the count.
        {
            Guarded array(c.values.size() * sizeof(double));
            std::memcpy(array.data(), c.values.data(), c.values.size() * sizeof(double));
            Guarded count(sizeof(int32_t));
            std::memcpy(count.data(), &c.count, sizeof c.count);
            FFIREF(removeDuplicates)(array.as<double>(), count.as<int32_t>());
            int32_t newCount;
            std::memcpy(&newCount, count.data(), sizeof newCount);
            EXPECT_EQ(newCount, expectedCount) << what;
            EXPECT_EQ(std::memcmp(array.data() + counted * sizeof(double),
                                  c.values.data() + counted,
                                  (c.values.size() - counted) * sizeof(double)),
                      0)
                << what << ": an element beyond the count changed";
            if (c.count <= 0) {
                EXPECT_EQ(
                    std::memcmp(array.data(), c.values.data(), c.values.size() * sizeof(double)), 0)
                    << what << ": the array changed";
            }
            EXPECT_TRUE(array.intact()) << what;
            EXPECT_TRUE(count.intact()) << what;
        }
    }
}

TEST(RemoveDuplicates, SurvivorsKeepTheExactBitsOfTheirFirstOccurrence) {
    // Signalling NaNs and payloads survive only if elements are moved as
    // bits: a load through the x87 stack would quiet them.
    constexpr uint64_t signallingA = 0x7FF0000000000001u;
    constexpr uint64_t signallingB = 0xFFF4000000000BADu;
    constexpr uint64_t quietPayload = 0x7FF8000000012345u;
    constexpr uint64_t one = 0x3FF0000000000000u;
    constexpr uint64_t minusZero = 0x8000000000000000u;
    constexpr uint64_t plusZero = 0;
    const uint64_t input[] = {one,          signallingA, one,         minusZero, signallingA,
                              quietPayload, plusZero,    signallingB, minusZero};
    const uint64_t kept[] = {one, signallingA, minusZero, signallingA, quietPayload, signallingB};
    const int32_t total = sizeof input / sizeof input[0];

    BeforeUnmappedPage page(sizeof input);
    std::memcpy(page.data(), input, sizeof input);
    int32_t count = total;
    FFIREF(removeDuplicates)(page.as<double>(), &count);

    ASSERT_EQ(count, static_cast<int32_t>(sizeof kept / sizeof kept[0]));
    for (int32_t i = 0; i < count; ++i) {
        uint64_t bits;
        std::memcpy(&bits, page.data() + i * sizeof bits, sizeof bits);
        EXPECT_EQ(bits, kept[i]) << "element " << i << std::hex << ": 0x" << bits << ", expected 0x"
                                 << kept[i];
    }
}

} // namespace
