// The library against the literal algorithms (support/literal_algorithms.h)
// on many random inputs, bit for bit: the fast paths must not change a
// single result, sign of zero and NaN payload included.
#include "library.h"
#include "literal_algorithms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 7;

double fromBits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint64_t toBits(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Doubles drawn from a small pool, so that values repeat, with the ones whose
// comparisons are special: quiet NaNs of either sign with payloads, both
// zeros, infinities, subnormals and the extremes.
class DoubleSource {
  public:
    explicit DoubleSource(std::mt19937_64 &random) : random_(random) {
        const double limits[] = {0.0,
                                 -0.0,
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::denorm_min(),
                                 -std::numeric_limits<double>::denorm_min(),
                                 fromBits(0x000FFFFFFFFFFFFFull), // largest subnormal
                                 std::numeric_limits<double>::min(),
                                 std::numeric_limits<double>::max(),
                                 -std::numeric_limits<double>::max(),
                                 fromBits(0x7FF8000000000001ull), // quiet NaNs
                                 fromBits(0xFFF8000000000000ull),
                                 fromBits(0x7FFC0000DEADBEEFull)};
        pool_.assign(std::begin(limits), std::end(limits));
        std::uniform_real_distribution<double> ordinary(-100.0, 100.0);
        for (int i = 0; i < 12; ++i) {
            pool_.push_back(ordinary(random_));
        }
    }

    // nonNegative: no value below zero, so that the minimum is often a zero.
    double next(bool nonNegative) {
        std::uniform_int_distribution<std::size_t> pick(0, pool_.size() - 1);
        double value = pool_[pick(random_)];
        if (nonNegative && value < 0.0) {
            value = -value;
        }
        return value;
    }

  private:
    std::mt19937_64 &random_;
    std::vector<double> pool_;
};

std::string describe(const double *values, int32_t count) {
    std::string text;
    for (int32_t i = 0; i < count && i < 64; ++i) {
        char item[32];
        std::snprintf(item, sizeof item, "%016llx ",
                      static_cast<unsigned long long>(toBits(values[i])));
        text += item;
    }
    return text + (count > 64 ? "..." : "");
}

TEST(LiteralEquivalence, FindMinimum) {
    std::mt19937_64 random(kSeed);
    DoubleSource source(random);
    // Short arrays, and lengths around the block and chunk sizes of a
    // vectorised scan; zeros, NaNs or negatives may sit anywhere.
    std::uniform_int_distribution<int32_t> shortCount(-2, 70);
    std::uniform_int_distribution<int32_t> longCount(1000, 2200);
    std::uniform_int_distribution<int> offset(0, 1);
    std::bernoulli_distribution rare(0.01);
    for (int round = 0; round < 3000; ++round) {
        const bool large = round % 10 == 0;
        const int32_t count = large ? longCount(random) : shortCount(random);
        const bool nonNegative = round % 3 != 0;
        // Long arrays are mostly plain positives with the special values rare,
        // so that a first zero or a negative can come late.
        std::vector<double> storage(static_cast<std::size_t>(std::max(count, 1)) + 1);
        double *values = storage.data() + offset(random); // 8- or 16-byte aligned
        for (int32_t i = 0; i < std::max(count, 1); ++i) {
            values[i] = !large || rare(random) ? source.next(nonNegative) : 1.0 + i % 97;
        }
        const double expected = literal::findMinimum(values, count);
        const double actual = FFIREF(findMinimum)(values, count);
        ASSERT_EQ(toBits(actual), toBits(expected))
            << "count " << count << ": " << describe(values, count);
    }
}

TEST(LiteralEquivalence, RemoveDuplicates) {
    std::mt19937_64 random(kSeed + 1);
    DoubleSource source(random);
    std::uniform_int_distribution<int32_t> countOf(-2, 120);
    for (int round = 0; round < 2000; ++round) {
        const int32_t count = round % 50 == 0 ? 700 : countOf(random);
        const std::size_t entries = static_cast<std::size_t>(std::max(count, 0));
        // Two elements beyond the count that repeat values inside it: they
        // must stay out of play and untouched.
        std::vector<double> input(entries + 2);
        for (double &value : input) {
            value = source.next(round % 2 == 0);
        }
        if (entries > 0) {
            input[entries] = input[0];
            input[entries + 1] = input[entries - 1];
        }
        std::vector<double> expected = input;
        std::vector<double> actual = input;
        int32_t expectedCount = count;
        int32_t actualCount = count;
        literal::removeDuplicates(expected.data(), &expectedCount);
        FFIREF(removeDuplicates)(actual.data(), &actualCount);
        ASSERT_EQ(actualCount, expectedCount) << describe(input.data(), count);
        for (int32_t i = 0; i < expectedCount; ++i) {
            ASSERT_EQ(toBits(actual[i]), toBits(expected[i]))
                << "element " << i << " of " << describe(input.data(), count);
        }
        ASSERT_EQ(std::memcmp(&actual[entries], &input[entries], 2 * sizeof(double)), 0)
            << "wrote beyond the count: " << describe(input.data(), count);
    }
}

TEST(LiteralEquivalence, RemoveDuplicatesFromString) {
    std::mt19937 random(kSeed + 2);
    std::uniform_int_distribution<std::size_t> lengthOf(0, 300);
    for (int round = 0; round < 1500; ++round) {
        // Alphabets from two bytes to all 255 non-zero ones, high bytes too.
        const int alphabet = round % 4 == 0 ? 255 : 2 + round % 60;
        const int lowest = round % 3 == 0 ? 1 : 256 - alphabet;
        std::uniform_int_distribution<int> byte(lowest, lowest + alphabet - 1);
        std::string input(round % 100 == 0 ? 5000 : lengthOf(random), '\0');
        for (char &c : input) {
            c = static_cast<char>(byte(random));
        }
        char *expected = nullptr;
        char *actual = nullptr;
        literal::removeDuplicatesFromString(input.c_str(), &expected);
        FFIREF(removeDuplicatesFromString)(input.c_str(), &actual);
        ASSERT_STREQ(actual, expected) << "input of " << input.size() << " bytes";
        delete[] expected;
        delete[] actual;
    }
}

// Random lists of 0 to 40 strings of 1 to 99 ASCII characters (the C
// locale's one-byte forms), lengths often tied.
std::vector<wchar_t> randomList(std::mt19937 &random) {
    std::uniform_int_distribution<int> strings(0, 40);
    std::uniform_int_distribution<int> length(1, 99);
    std::uniform_int_distribution<int> shortLength(1, 4);
    std::uniform_int_distribution<int> character(1, 0x7F);
    const bool ties = random() % 2 == 0;
    std::vector<wchar_t> list;
    for (int s = strings(random); s > 0; --s) {
        for (int n = ties ? shortLength(random) : length(random); n > 0; --n) {
            list.push_back(static_cast<wchar_t>(character(random)));
        }
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}

// The characters before the terminator. A vector, not a std::wstring: valgrind
// does not know glibc's vectorised wmemcmp and reports its wide reads.
std::vector<wchar_t> wideText(const wchar_t *text) {
    return std::vector<wchar_t>(text, std::find(text, text + 100, L'\0'));
}

TEST(LiteralEquivalence, FindLongestAndConvert) {
    std::mt19937 random(kSeed + 3);
    for (int round = 0; round < 1000; ++round) {
        const std::vector<wchar_t> list = randomList(random);
        const std::vector<wchar_t> expected = wideText(literal::findLongest(list.data()));
        EXPECT_EQ(wideText(FFIREF(findLongest)(list.data())), expected);

        std::vector<char> expectedBytes(list.size(), '\x5A');
        std::vector<char> actualBytes(list.size(), '\x5A');
        literal::convert(list.data(), expectedBytes.data());
        FFIREF(convert)(list.data(), actualBytes.data());
        ASSERT_EQ(actualBytes, expectedBytes) << "list of " << list.size() << " characters";
    }
}

} // namespace
