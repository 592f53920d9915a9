// Each array and string function of the library, loaded by path like every
// FFI caller does, beside its baselines in the same run: the literal
// algorithm and, for findMinimum, a plain vectorised read of the same bytes.
// Before timing anything, the library and the literal algorithms must agree
// bit for bit on every input used here. scripts/bench.sh reads the JSON.
#include "library.h"
#include "literal_algorithms.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// Resolved once: a lookup per call would be timed too.
const auto libFindMinimum = FFIREF(findMinimum);
const auto libRemoveDuplicates = FFIREF(removeDuplicates);
const auto libRemoveDuplicatesFromString = FFIREF(removeDuplicatesFromString);
const auto libFindLongest = FFIREF(findLongest);
const auto libConvert = FFIREF(convert);

constexpr std::uint32_t kSeed = 20261211;

// --- inputs -------------------------------------------------------------

// Random finite doubles over a wide range of magnitudes and both signs.
std::vector<double> randomDoubles(std::size_t count, std::uint32_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<double> values(count);
    for (double &value : values) {
        value = std::ldexp(mantissa(random), exponent(random));
    }
    return values;
}

// Non-negative values with +0.0 and -0.0 sprinkled in, so that the minimum
// is a zero whose sign the first one decides, and a NaN every 1000 elements.
std::vector<double> mixedDoubles(std::size_t count, std::uint32_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> magnitude(0.0, 1.0e6);
    std::uniform_int_distribution<std::size_t> zeroEvery(0, 4095);
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = magnitude(random);
        if (zeroEvery(random) == 0) {
            values[i] = (random() & 1) != 0 ? 0.0 : -0.0;
        }
        if (i % 1000 == 999) {
            values[i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    // The first zero comes late, after a NaN, and is negative.
    values[count / 2] = -0.0;
    for (std::size_t i = 0; i < count / 2; ++i) {
        if (values[i] == 0.0) {
            values[i] = 1.0;
        }
    }
    return values;
}

std::vector<double> fewDistinct(std::size_t count, int distinct, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pick(0, distinct - 1);
    std::vector<double> values(count);
    for (double &value : values) {
        value = 0.5 + pick(random) * 1.25;
    }
    return values;
}

std::string englishText(std::size_t size, std::uint32_t seed) {
    static const char *const kWords[] = {
        "the",     "of",     "and",    "to",       "in",     "a",       "is",     "that",
        "for",     "it",     "as",     "was",      "with",   "be",      "by",     "on",
        "not",     "he",     "this",   "are",      "or",     "his",     "from",   "at",
        "which",   "but",    "have",   "an",       "had",    "they",    "you",    "were",
        "their",   "one",    "all",    "we",       "can",    "her",     "has",    "there",
        "been",    "if",     "more",   "when",     "will",   "would",   "who",    "so",
        "library", "caller", "string", "function", "memory", "pointer", "record", "quick",
        "brown",   "fox",    "jumps",  "over",     "lazy",   "dog",     "Zebra",  "Quartz"};
    static const char *const kPunctuation[] = {" ", " ", " ", " ", " ", ", ", ". ", ".\n"};
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
    std::uniform_int_distribution<std::size_t> mark(0, std::size(kPunctuation) - 1);
    std::string text;
    while (text.size() < size) {
        text += kWords[word(random)];
        text += kPunctuation[mark(random)];
    }
    text.resize(size);
    return text;
}

std::string randomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(1, 255);
    std::string bytes(size, '\0');
    for (char &c : bytes) {
        c = static_cast<char>(byte(random));
    }
    return bytes;
}

// A wide string list of `count` strings of 1 to 99 printable ASCII
// characters, closed by the empty string.
std::vector<wchar_t> wideList(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(1, 99);
    std::uniform_int_distribution<int> character(0x20, 0x7E);
    std::vector<wchar_t> list;
    for (std::size_t s = 0; s < count; ++s) {
        for (int n = length(random); n > 0; --n) {
            list.push_back(static_cast<wchar_t>(character(random)));
        }
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}

// Every input is made once, before timing, and shared by the checks and the
// benchmarks.
struct Inputs {
    std::vector<double> random16Mi = randomDoubles(16u << 20, kSeed);
    std::vector<double> mixed16Mi = mixedDoubles(16u << 20, kSeed + 1);
    std::vector<double> mixed32Ki = mixedDoubles(32u << 10, kSeed + 2);
    std::vector<double> distinct100 = fewDistinct(100000, 100, kSeed + 3);
    std::vector<double> oneValue = std::vector<double>(100000, 2.75);
    std::string english32Ki = englishText(32u << 10, kSeed + 4);
    std::string random64Ki = randomBytes(64u << 10, kSeed + 5);
    std::vector<wchar_t> list100k = wideList(100000, kSeed + 6);
};

const Inputs &inputs() {
    static const Inputs made;
    return made;
}

// --- bit-for-bit agreement --------------------------------------------------

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

int checkAgreement() {
    const Inputs &in = inputs();
    int failures = 0;
    auto fail = [&failures](const char *what) {
        std::fprintf(stderr, "library and literal algorithm differ: %s\n", what);
        ++failures;
    };

    const std::pair<const char *, const std::vector<double> *> minimumInputs[] = {
        {"findMinimum random16Mi", &in.random16Mi},
        {"findMinimum mixed16Mi", &in.mixed16Mi},
        {"findMinimum mixed32Ki", &in.mixed32Ki}};
    for (const auto &[name, values] : minimumInputs) {
        const int32_t count = static_cast<int32_t>(values->size());
        if (!sameBits(libFindMinimum(values->data(), count),
                      literal::findMinimum(values->data(), count))) {
            fail(name);
        }
    }

    const std::pair<const char *, const std::vector<double> *> duplicateInputs[] = {
        {"removeDuplicates distinct100", &in.distinct100},
        {"removeDuplicates oneValue", &in.oneValue}};
    for (const auto &[name, values] : duplicateInputs) {
        std::vector<double> mine = *values;
        std::vector<double> theirs = *values;
        int32_t myCount = static_cast<int32_t>(mine.size());
        int32_t theirCount = myCount;
        libRemoveDuplicates(mine.data(), &myCount);
        literal::removeDuplicates(theirs.data(), &theirCount);
        if (myCount != theirCount ||
            std::memcmp(mine.data(), theirs.data(),
                        static_cast<std::size_t>(myCount) * sizeof(double)) != 0) {
            fail(name);
        }
    }

    const std::pair<const char *, const std::string *> stringInputs[] = {
        {"removeDuplicatesFromString english32Ki", &in.english32Ki},
        {"removeDuplicatesFromString random64Ki", &in.random64Ki}};
    for (const auto &[name, text] : stringInputs) {
        char *mine = nullptr;
        char *theirs = nullptr;
        char *early = nullptr;
        libRemoveDuplicatesFromString(text->c_str(), &mine);
        literal::removeDuplicatesFromString(text->c_str(), &theirs);
        literal::removeDuplicatesFromStringEarlyStop(text->c_str(), &early);
        if (std::strcmp(mine, theirs) != 0 || std::strcmp(early, theirs) != 0) {
            fail(name);
        }
        delete[] mine;
        delete[] theirs;
        delete[] early;
    }

    const std::vector<wchar_t> &list = in.list100k;
    if (std::wcscmp(libFindLongest(list.data()), literal::findLongest(list.data())) != 0) {
        fail("findLongest list100k");
    }
    std::vector<char> mine(list.size(), '\x5A');
    std::vector<char> theirs(list.size(), '\x5A');
    libConvert(list.data(), mine.data());
    literal::convert(list.data(), theirs.data());
    if (mine != theirs) {
        fail("convert list100k");
    }
    return failures;
}

// --- benchmarks -------------------------------------------------------------

const std::vector<double> &doublesFor(int workload) {
    const Inputs &in = inputs();
    switch (workload) {
    case 0:
        return in.random16Mi;
    case 1:
        return in.mixed16Mi;
    default:
        return in.mixed32Ki;
    }
}

const char *const kDoubleWorkloads[] = {"random16Mi", "mixed16Mi", "mixed32Ki"};

void setBytes(benchmark::State &state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_FindMinimum(benchmark::State &state, int workload) {
    const std::vector<double> &values = doublesFor(workload);
    const int32_t count = static_cast<int32_t>(values.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(libFindMinimum(values.data(), count));
    }
    setBytes(state, values.size() * sizeof(double));
}

void BM_LiteralFindMinimum(benchmark::State &state, int workload) {
    const std::vector<double> &values = doublesFor(workload);
    const int32_t count = static_cast<int32_t>(values.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(literal::findMinimum(values.data(), count));
    }
    setBytes(state, values.size() * sizeof(double));
}

// The memory-bandwidth limit: every byte read once and OR-ed into eight
// independent words, a loop that the compiler vectorises with no chain of
// dependent operations to wait on.
void BM_StreamingRead(benchmark::State &state, int workload) {
    const std::vector<double> &values = doublesFor(workload);
    constexpr std::size_t kWays = 8;
    const std::size_t words = values.size() / kWays * kWays;
    std::vector<std::uint64_t> bits(words);
    std::memcpy(bits.data(), values.data(), words * sizeof(double));
    for (auto _ : state) {
        std::uint64_t folded[kWays] = {};
        const std::uint64_t *data = bits.data();
        for (std::size_t i = 0; i < words; i += kWays) {
            for (std::size_t k = 0; k < kWays; ++k) {
                folded[k] |= data[i + k];
            }
        }
        for (std::size_t k = 1; k < kWays; ++k) {
            folded[0] |= folded[k];
        }
        benchmark::DoNotOptimize(folded[0]);
    }
    setBytes(state, words * sizeof(double));
}

template <void (*Remove)(double *, int32_t *)>
void removeDuplicatesOn(benchmark::State &state, const std::vector<double> &input) {
    std::vector<double> work(input.size());
    for (auto _ : state) {
        state.PauseTiming();
        work = input;
        int32_t count = static_cast<int32_t>(work.size());
        state.ResumeTiming();
        Remove(work.data(), &count);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
}

void libraryRemoveDuplicates(double *array, int32_t *count) {
    libRemoveDuplicates(array, count);
}

const std::vector<double> &duplicatesFor(int workload) {
    return workload == 0 ? inputs().distinct100 : inputs().oneValue;
}

void BM_RemoveDuplicates(benchmark::State &state, int workload) {
    removeDuplicatesOn<libraryRemoveDuplicates>(state, duplicatesFor(workload));
}

void BM_LiteralRemoveDuplicates(benchmark::State &state, int workload) {
    removeDuplicatesOn<literal::removeDuplicates>(state, duplicatesFor(workload));
}

const std::string &textFor(int workload) {
    return workload == 0 ? inputs().english32Ki : inputs().random64Ki;
}

template <void (*Remove)(const char *, char **)>
void removeFromStringOn(benchmark::State &state, const std::string &text) {
    for (auto _ : state) {
        char *result = nullptr;
        Remove(text.c_str(), &result);
        benchmark::DoNotOptimize(result);
        delete[] result;
    }
    setBytes(state, text.size());
}

void libraryRemoveDuplicatesFromString(const char *input, char **output) {
    libRemoveDuplicatesFromString(input, output);
}

void BM_RemoveDuplicatesFromString(benchmark::State &state, int workload) {
    removeFromStringOn<libraryRemoveDuplicatesFromString>(state, textFor(workload));
}

void BM_LiteralRemoveDuplicatesFromString(benchmark::State &state, int workload) {
    removeFromStringOn<literal::removeDuplicatesFromString>(state, textFor(workload));
}

void BM_EarlyStopRemoveDuplicatesFromString(benchmark::State &state, int workload) {
    removeFromStringOn<literal::removeDuplicatesFromStringEarlyStop>(state, textFor(workload));
}

void BM_FindLongest(benchmark::State &state) {
    const std::vector<wchar_t> &list = inputs().list100k;
    for (auto _ : state) {
        benchmark::DoNotOptimize(libFindLongest(list.data()));
    }
}

void BM_LiteralFindLongest(benchmark::State &state) {
    const std::vector<wchar_t> &list = inputs().list100k;
    for (auto _ : state) {
        benchmark::DoNotOptimize(literal::findLongest(list.data()));
    }
}

template <void (*Convert)(const wchar_t *, char *)> void convertOn(benchmark::State &state) {
    const std::vector<wchar_t> &list = inputs().list100k;
    std::vector<char> output(list.size());
    for (auto _ : state) {
        Convert(list.data(), output.data());
        benchmark::ClobberMemory();
    }
}

void libraryConvert(const wchar_t *list, char *output) {
    libConvert(list, output);
}

void BM_Convert(benchmark::State &state) {
    convertOn<libraryConvert>(state);
}

void BM_LiteralConvert(benchmark::State &state) {
    convertOn<literal::convert>(state);
}

void registerAll() {
    // Fast cases are repeated and scripts/bench.sh takes the median; each of
    // the quadratic literal baselines takes seconds and runs once.
    constexpr int kRepeats = 7;
    for (int w = 0; w < 3; ++w) {
        const std::string suffix = std::string("/") + kDoubleWorkloads[w];
        benchmark::RegisterBenchmark(("FindMinimum" + suffix).c_str(), BM_FindMinimum, w)
            ->Repetitions(kRepeats);
        benchmark::RegisterBenchmark(("StreamingRead" + suffix).c_str(), BM_StreamingRead, w)
            ->Repetitions(kRepeats);
        benchmark::RegisterBenchmark(("LiteralFindMinimum" + suffix).c_str(), BM_LiteralFindMinimum,
                                     w)
            ->Repetitions(kRepeats);
    }
    const char *const duplicateWorkloads[] = {"distinct100", "oneValue"};
    for (int w = 0; w < 2; ++w) {
        const std::string suffix = std::string("/") + duplicateWorkloads[w];
        benchmark::RegisterBenchmark(("RemoveDuplicates" + suffix).c_str(), BM_RemoveDuplicates, w)
            ->Repetitions(kRepeats)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("LiteralRemoveDuplicates" + suffix).c_str(),
                                     BM_LiteralRemoveDuplicates, w)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    const char *const textWorkloads[] = {"english32Ki", "random64Ki"};
    for (int w = 0; w < 2; ++w) {
        const std::string suffix = std::string("/") + textWorkloads[w];
        benchmark::RegisterBenchmark(("RemoveDuplicatesFromString" + suffix).c_str(),
                                     BM_RemoveDuplicatesFromString, w)
            ->Repetitions(kRepeats)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("LiteralRemoveDuplicatesFromString" + suffix).c_str(),
                                     BM_LiteralRemoveDuplicatesFromString, w)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("EarlyStopRemoveDuplicatesFromString" + suffix).c_str(),
                                     BM_EarlyStopRemoveDuplicatesFromString, w)
            ->Repetitions(kRepeats)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("FindLongest/list100k", BM_FindLongest)
        ->Repetitions(kRepeats)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("LiteralFindLongest/list100k", BM_LiteralFindLongest)
        ->Repetitions(kRepeats)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Convert/list100k", BM_Convert)
        ->Repetitions(kRepeats)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("LiteralConvert/list100k", BM_LiteralConvert)
        ->Repetitions(kRepeats)
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    if (checkAgreement() != 0) {
        return 1;
    }
    std::fprintf(stderr, "library and literal algorithms agree bit for bit on every input\n");
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
