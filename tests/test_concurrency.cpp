// Every reentrant export called from several threads at once, each thread on
// its own memory, with callbacks that call back into the library. Built with
// the tsan preset this is the race check; in the plain suite it checks that
// results stay right when calls overlap.
#include "library.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using ffiref_test::StdoutCapture;

// Few threads and few rounds: enough to overlap every call, small enough for
// valgrind, which runs one thread at a time, and for the pipe that takes the
// captured output (it is read only at the end).
constexpr int kThreads = 4;
constexpr int kRounds = 20;

// Resolved once, before any thread starts; callbacks reach the library here.
struct Exports {
    decltype(&sumStdCall) sum = FFIREF(sumStdCall);
    decltype(&printStringCdeclCall) print = FFIREF(printStringCdeclCall);
    decltype(&copySampleStructure) copySample = FFIREF(copySampleStructure);
    decltype(&copyUnionStructure) copyUnion = FFIREF(copyUnionStructure);
    decltype(&calculateSunFromBitStructure) bitSum = FFIREF(calculateSunFromBitStructure);
    decltype(&fillKeyValueStructure) fillKeyValue = FFIREF(fillKeyValueStructure);
    decltype(&findValueByKey) findValue = FFIREF(findValueByKey);
    decltype(&fillLinkedStructures) fillLinked = FFIREF(fillLinkedStructures);
    decltype(&findMinimum) minimum = FFIREF(findMinimum);
    decltype(&removeDuplicates) removeDoubles = FFIREF(removeDuplicates);
    decltype(&calculateSum) calculate = FFIREF(calculateSum);
    decltype(&createArray) create = FFIREF(createArray);
    decltype(&fillArray) fill = FFIREF(fillArray);
    decltype(&removeDuplicatesFromString) removeBytes = FFIREF(removeDuplicatesFromString);
    decltype(&convert) narrow = FFIREF(convert);
};
const Exports *library = nullptr;

int32_t FFIREF_CDECL plusOne(int32_t operand) {
    return operand + 1;
}

// calculateSum's callback calls removeDuplicatesFromString and returns the
// length of what it got ("mississippi" with the operand's digit appended).
int32_t FFIREF_CDECL lengthWithoutRepeats(int32_t operand) {
    std::string text = "mississippi" + std::to_string(operand % 10);
    char *result = nullptr;
    library->removeBytes(text.c_str(), &result);
    const auto length = static_cast<int32_t>(std::strlen(result));
    const bool right = std::string(result) == "mspi" + std::to_string(operand % 10);
    delete[] result;
    return right ? length : -1;
}

// fillArray's callback fills every element through calculateSum.
void FFIREF_CDECL fillThroughCalculateSum(int32_t start, int32_t count, int32_t *array) {
    for (int32_t i = 0; i < count; ++i) {
        array[i] = library->calculate(plusOne, start + i - 1);
    }
}

// createArray's callback hands out this thread's array after removeDuplicates
// has reduced first, second, first, third, second to its three values.
thread_local int32_t distinctValues[3];
void FFIREF_CDECL distinctThroughRemoveDuplicates(int32_t first, int32_t second, int32_t third,
                                                  int32_t **arraySlot) {
    double values[] = {double(first), double(second), double(first), double(third), double(second)};
    int32_t count = 5;
    library->removeDoubles(values, &count);
    if (count != 3) {
        return; // the null slot tells the caller
    }
    for (int i = 0; i < 3; ++i) {
        distinctValues[i] = static_cast<int32_t>(values[i]);
    }
    *arraySlot = distinctValues;
}

std::string fillLine(int32_t index, int32_t value) {
    return "array[" + std::to_string(index) + "] = " + std::to_string(value) + " should be " +
           std::to_string(value) + " ";
}

// One thread's rounds; returns what went wrong, one line per fault, and adds
// the lines it expects on stdout to `lines`.
std::string callEverything(int thread, std::vector<std::string> &lines) {
    std::string faults;
    auto check = [&](bool ok, const char *what, int round) {
        if (!ok) {
            faults += std::string(what) + " (thread " + std::to_string(thread) + ", round " +
                      std::to_string(round) + ")\n";
        }
    };
    for (int round = 0; round < kRounds; ++round) {
        const int32_t tag = thread * 1000 + round;

        check(library->sum(tag, -thread) == tag - thread, "sumStdCall", round);

        const std::string line =
            "thread " + std::to_string(thread) + " round " + std::to_string(round);
        check(library->print(line.c_str()) >= 0, "printStringCdeclCall", round);
        lines.push_back(line);

        unsigned char sampleBytes[sizeof(SampleStructure)];
        for (std::size_t i = 0; i < sizeof sampleBytes; ++i) {
            sampleBytes[i] = static_cast<unsigned char>(tag + i);
        }
        SampleStructure sample, sampleCopy;
        std::memcpy(&sample, sampleBytes, sizeof sample);
        std::memset(&sampleCopy, 0, sizeof sampleCopy);
        library->copySample(&sample, &sampleCopy);
        check(std::memcmp(&sampleCopy, sampleBytes, sizeof sampleBytes) == 0, "copySampleStructure",
              round);

        UnionStructure tagged{static_cast<uint8_t>(thread), {}}, taggedCopy{};
        tagged.content.intValue = tag;
        library->copyUnion(&tagged, &taggedCopy);
        check(std::memcmp(&taggedCopy, &tagged, sizeof tagged) == 0, "copyUnionStructure", round);

        BitStructure bits{};
        bits.oneBit = round & 1;
        bits.twoBitsA = thread & 3;
        bits.threeBits = round & 7;
        bits.twoBitsB = (round >> 1) & 3;
        bits.tenBits = tag & 1023;
        check(library->bitSum(&bits) ==
                  (round & 1) + (thread & 3) + (round & 7) + ((round >> 1) & 3) + (tag & 1023),
              "calculateSunFromBitStructure", round);

        int32_t key = -1;
        KeyValueStructure filled{&key, nullptr};
        library->fillKeyValue(&filled);
        check(key == 365 && filled.key == &key && filled.value != nullptr &&
                  std::strcmp(filled.value, " days of the year.") == 0,
              "fillKeyValueStructure", round);

        int32_t keys[] = {tag, thread, tag};
        const KeyValueStructure records[] = {
            {&keys[0], "first"}, {&keys[1], "second"}, {&keys[2], "third"}};
        check(library->findValue(records, 3, tag) == records[2].value, "findValueByKey", round);

        LinkedStructure head{-1, nullptr};
        library->fillLinked(&head);
        int32_t expected = 9;
        bool chainRight = head.value == 9;
        for (LinkedStructure *node = head.next; node != nullptr; --expected) {
            chainRight = chainRight && node->value == expected - 1;
            LinkedStructure *next = node->next;
            delete node;
            node = next;
        }
        check(chainRight && expected == 0, "fillLinkedStructures", round);

        const double values[] = {tag + 3.0, -0.5 - tag, 7.0};
        check(library->minimum(values, 3) == -0.5 - tag, "findMinimum", round);

        double repeated[] = {1.5, double(tag), 1.5, -2.0, double(tag)};
        int32_t count = 5;
        library->removeDoubles(repeated, &count);
        check(count == 3 && repeated[0] == 1.5 && repeated[1] == tag && repeated[2] == -2.0,
              "removeDuplicates", round);

        check(library->calculate(lengthWithoutRepeats, tag) == 5, "calculateSum", round);

        int32_t *distinct = library->create(tag, tag + 1, tag + 2, distinctThroughRemoveDuplicates);
        check(distinct == distinctValues && distinct[0] == tag && distinct[1] == tag + 1 &&
                  distinct[2] == tag + 2,
              "createArray", round);

        check(library->fill(tag, 3, fillThroughCalculateSum) == 1, "fillArray", round);
        for (int32_t i = 0; i < 3; ++i) {
            lines.push_back(fillLine(i, tag + i));
        }

        char *unique = nullptr;
        library->removeBytes("banana", &unique);
        check(std::strcmp(unique, "bna") == 0, "removeDuplicatesFromString", round);
        delete[] unique;

        const wchar_t letter = static_cast<wchar_t>(L'a' + thread);
        const wchar_t list[] = {letter, L'b', 0, L'x', L'y', letter, 0, 0};
        char narrowed[8];
        std::memset(narrowed, '#', sizeof narrowed);
        library->narrow(list, narrowed);
        const char expectedNarrow[8] = {char('a' + thread), 'b', 0,  'x', 'y',
                                        char('a' + thread), 0,   '#'};
        check(std::memcmp(narrowed, expectedNarrow, sizeof narrowed) == 0, "convert", round);
    }
    return faults;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
        lines.push_back(text.substr(begin, end - begin));
    }
    if (begin != text.size()) {
        lines.push_back(text.substr(begin) + " (no newline)");
    }
    return lines;
}

TEST(Concurrency, EveryReentrantExportRunsOnSeveralThreadsAtOnce) {
    // Set by a test environment whose emulator cannot start threads.
    if (const char *reason = std::getenv("FFIREF_NO_THREADS")) {
        GTEST_SKIP() << "no threads here: " << reason;
    }
    const Exports exports;
    library = &exports;

    std::vector<std::string> faults(kThreads);
    std::vector<std::vector<std::string>> expectedLines(kThreads);
    std::string output;
    {
        StdoutCapture capture;
        std::atomic<int> waiting{kThreads};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                // Start together, so that the calls really overlap.
                waiting.fetch_sub(1);
                while (waiting.load() > 0) {
                    std::this_thread::yield();
                }
                faults[t] = callEverything(t, expectedLines[t]);
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        output = capture.flushed();
    }
    library = nullptr;

    for (const std::string &fault : faults) {
        EXPECT_EQ(fault, "");
    }
    // Each line reaches the shared stream in one piece, in whatever order.
    std::vector<std::string> expected;
    for (const auto &lines : expectedLines) {
        expected.insert(expected.end(), lines.begin(), lines.end());
    }
    std::vector<std::string> written = splitLines(output);
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "the lines on stdout are not the lines written";
}

} // namespace
