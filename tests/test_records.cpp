// Packed records, key-value records and linked nodes, called through the loaded library.
#include "guarded_memory.h"
#include "library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ffiref_test::BeforeUnmappedPage;
using ffiref_test::Guarded;

template <typename T> std::vector<unsigned char> bytesOf(const T &object) {
    const auto *first = reinterpret_cast<const unsigned char *>(&object);
    return std::vector<unsigned char>(first, first + sizeof object);
}

std::vector<unsigned char> bytesAt(const void *address, std::size_t size) {
    const auto *first = static_cast<const unsigned char *>(address);
    return std::vector<unsigned char>(first, first + size);
}

bool bigEndian() {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0;
}

// ---------------------------------------------------------------- SampleStructure

// Floating-point fields are set from bit patterns with memcpy: a load into an
// x87 register would quiet a signalling NaN before the library ever saw it.
SampleStructure sample(int8_t firstByte, int16_t halfword, int32_t firstWord, int32_t secondWord,
                       int8_t secondByte, int32_t thirdWord, uint32_t singleFloatBits,
                       uint64_t firstDoublewordBits, uint64_t secondDoublewordBits) {
    SampleStructure record;
    record.firstByte = firstByte;
    record.halfword = halfword;
    record.firstWord = firstWord;
    record.secondWord = secondWord;
    record.secondByte = secondByte;
    record.thirdWord = thirdWord;
    auto *bytes = reinterpret_cast<unsigned char *>(&record);
    std::memcpy(bytes + offsetof(SampleStructure, singleFloat), &singleFloatBits, 4);
    std::memcpy(bytes + offsetof(SampleStructure, firstDoubleword), &firstDoublewordBits, 8);
    std::memcpy(bytes + offsetof(SampleStructure, secondDoubleword), &secondDoublewordBits, 8);
    return record;
}

SampleStructure oneToThirtySix() {
    SampleStructure record;
    auto *bytes = reinterpret_cast<unsigned char *>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i) {
        bytes[i] = static_cast<unsigned char>(i + 1);
    }
    return record;
}

struct SampleCase {
    const char *name;
    SampleStructure source;
};

const std::vector<SampleCase> &sampleCases() {
    static const std::vector<SampleCase> cases = {
        {"bytes 1 to 36", oneToThirtySix()},
        {"all-ones integers, signalling NaNs",
         sample(-1, -1, -1, -1, -1, -1, 0x7FA00001u, 0x7FF0000000000001u, 0xFFF0000000000001u)},
        {"negative zeros, smallest integers", sample(INT8_MIN, INT16_MIN, INT32_MIN, INT32_MAX, 0,
                                                     1, 0x80000000u, 0x8000000000000000u, 0)},
        {"negative signalling NaN, arbitrary 64-bit patterns",
         sample(0x5A, 0x1234, 0x01020304, -2, 0x7F, 0x0A0B0C0D, 0xFF800001u, 0x0123456789ABCDEFu,
                0x7FF4000000000000u)},
        {"quiet NaN with payload, all-ones and denormal doublewords",
         sample(1, 2, 3, 4, 5, 6, 0x7FC12345u, 0xFFFFFFFFFFFFFFFFu, 0x0000000000000001u)},
    };
    return cases;
}

TEST(CopySampleStructure, CopiesEveryByteBetweenAnyAddresses) {
    struct Placement {
        std::size_t sourceOffset, destinationOffset;
    };
    const Placement placements[] = {{0, 0}, {1, 3}, {3, 1}, {1, 1}, {7, 5}};
    for (const SampleCase &c : sampleCases()) {
        const std::vector<unsigned char> image = bytesOf(c.source);
        for (const Placement &p : placements) {
            Guarded source(sizeof(SampleStructure), p.sourceOffset);
            std::memcpy(source.data(), image.data(), image.size());
            Guarded destination(sizeof(SampleStructure), p.destinationOffset, 0xCC);

            FFIREF(copySampleStructure)
            (source.as<SampleStructure>(), destination.as<SampleStructure>());

            EXPECT_EQ(bytesAt(destination.data(), image.size()), image)
                << c.name << ", offsets " << p.sourceOffset << "/" << p.destinationOffset;
            EXPECT_TRUE(destination.intact()) << c.name << ": written outside the destination";
            EXPECT_EQ(bytesAt(source.data(), image.size()), image) << c.name << ": source changed";
            EXPECT_TRUE(source.intact()) << c.name;
        }

        // Both records end where an inaccessible page begins: nothing past
        // the 36 bytes is read or written.
        BeforeUnmappedPage source(sizeof(SampleStructure));
        BeforeUnmappedPage destination(sizeof(SampleStructure));
        std::memcpy(source.data(), image.data(), image.size());
        FFIREF(copySampleStructure)
        (source.as<SampleStructure>(), destination.as<SampleStructure>());
        EXPECT_EQ(bytesAt(destination.data(), image.size()), image) << c.name << " at a page end";
    }
}

TEST(CopySampleStructure, CopyOntoItselfLeavesTheRecordUnchanged) {
    for (const SampleCase &c : sampleCases()) {
        const std::vector<unsigned char> image = bytesOf(c.source);
        Guarded record(sizeof(SampleStructure), 1);
        std::memcpy(record.data(), image.data(), image.size());
        FFIREF(copySampleStructure)(record.as<SampleStructure>(), record.as<SampleStructure>());
        EXPECT_EQ(bytesAt(record.data(), image.size()), image) << c.name;
        EXPECT_TRUE(record.intact()) << c.name;
    }
}

// ---------------------------------------------------------------- UnionStructure

struct UnionCase {
    const char *name;
    uint8_t tag;
    UnionContent content; // written through one member
    bool asInteger;       // also compare the destination through intValue
};

UnionContent throughInteger(int32_t value) {
    UnionContent content;
    content.intValue = value;
    return content;
}

UnionContent throughFloat(uint32_t bits) {
    UnionContent content;
    std::memcpy(&content.floatValue, &bits, sizeof bits); // no x87 load: keeps sNaNs
    return content;
}

UnionContent throughFloatValue(float value) {
    UnionContent content;
    content.floatValue = value;
    return content;
}

UnionContent throughBytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    UnionContent content;
    content.bytes[0] = b0;
    content.bytes[1] = b1;
    content.bytes[2] = b2;
    content.bytes[3] = b3;
    return content;
}

const std::vector<UnionCase> &unionCases() {
    static const std::vector<UnionCase> cases = {
        {"tag 255, integer with four distinct bytes", 255, throughInteger(0x12345678), true},
        {"tag 0, integer -1", 0, throughInteger(-1), true},
        {"tag 128, smallest integer", 128, throughInteger(INT32_MIN), true},
        {"float -1.5", 1, throughFloatValue(-1.5f), false},
        {"float signalling NaN", 2, throughFloat(0x7F800001u), false},
        {"float negative zero", 3, throughFloat(0x80000000u), false},
        {"bytes", 0x7F, throughBytes(0x00, 0xFF, 0x80, 0x7F), false},
    };
    return cases;
}

TEST(CopyUnionStructure, CopiesTheTagAndAllFourContentBytes) {
    const std::pair<std::size_t, std::size_t> placements[] = {{0, 0}, {1, 2}, {3, 1}};
    for (const UnionCase &c : unionCases()) {
        for (const auto &[sourceOffset, destinationOffset] : placements) {
            Guarded source(sizeof(UnionStructure), sourceOffset);
            UnionStructure record;
            record.tag = c.tag;
            record.content = c.content;
            std::memcpy(source.data(), &record, sizeof record);
            const std::vector<unsigned char> image = bytesOf(record);
            Guarded destination(sizeof(UnionStructure), destinationOffset, 0xCC);

            FFIREF(copyUnionStructure)
            (source.as<UnionStructure>(), destination.as<UnionStructure>());

            UnionStructure copied;
            std::memcpy(&copied, destination.data(), sizeof copied);
            EXPECT_EQ(copied.tag, c.tag) << c.name;
            EXPECT_EQ(bytesAt(&copied, sizeof copied), image) << c.name;
            if (c.asInteger) {
                const UnionContent content = copied.content;
                EXPECT_EQ(content.intValue, c.content.intValue) << c.name;
            }
            EXPECT_TRUE(destination.intact()) << c.name << ": written outside the destination";
            EXPECT_EQ(bytesAt(source.data(), image.size()), image) << c.name << ": source changed";
        }

        // Same address: unchanged.
        Guarded record(sizeof(UnionStructure), 1);
        UnionStructure original;
        original.tag = c.tag;
        original.content = c.content;
        std::memcpy(record.data(), &original, sizeof original);
        FFIREF(copyUnionStructure)(record.as<UnionStructure>(), record.as<UnionStructure>());
        EXPECT_EQ(bytesAt(record.data(), sizeof original), bytesOf(original)) << c.name;
        EXPECT_TRUE(record.intact()) << c.name;
    }
}

// ---------------------------------------------------------------- BitStructure

// The record ends where an inaccessible page begins, so a read past its
// three bytes faults; then it sits at an odd address with 0xFF after it.
int32_t sumOfBytes(const std::array<unsigned char, 3> &bytes, bool atPageEnd) {
    if (atPageEnd) {
        BeforeUnmappedPage page(3);
        std::memcpy(page.data(), bytes.data(), 3);
        return FFIREF(calculateSunFromBitStructure)(page.as<BitStructure>());
    }
    unsigned char buffer[16];
    std::memset(buffer, 0xFF, sizeof buffer);
    std::memcpy(buffer + 1, bytes.data(), 3);
    return FFIREF(calculateSunFromBitStructure)(reinterpret_cast<BitStructure *>(buffer + 1));
}

TEST(CalculateSunFromBitStructure, SumsTheFieldsSetThroughTheHeader) {
    struct Case {
        unsigned oneBit, twoBitsA, threeBits, twoBitsB, tenBits;
        int32_t sum;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0},     {1, 3, 7, 3, 1023, 1037}, {1, 0, 0, 0, 0, 1},
        {0, 2, 0, 0, 0, 2},     {0, 0, 4, 0, 0, 4},       {0, 0, 0, 3, 0, 3},
        {0, 0, 0, 0, 512, 512}, {0, 0, 0, 0, 1023, 1023}, {0, 0, 0, 0, 1, 1},
        {0, 0, 0, 0, 256, 256}, {1, 1, 1, 1, 783, 787},   {1, 3, 7, 3, 0, 14},
    };
    for (const Case &c : cases) {
        // The bits that belong to no field start as zeros and as ones.
        for (const unsigned char unused : {0x00, 0xFF}) {
            BitStructure record;
            std::memset(&record, unused, sizeof record);
            record.oneBit = c.oneBit & 1u;
            record.twoBitsA = c.twoBitsA & 3u;
            record.threeBits = c.threeBits & 7u;
            record.twoBitsB = c.twoBitsB & 3u;
            record.tenBits = c.tenBits & 1023u;
            std::array<unsigned char, 3> bytes;
            std::memcpy(bytes.data(), &record, 3);
            for (const bool atPageEnd : {true, false}) {
                EXPECT_EQ(sumOfBytes(bytes, atPageEnd), c.sum)
                    << c.oneBit << "," << c.twoBitsA << "," << c.threeBits << "," << c.twoBitsB
                    << "," << c.tenBits << " unused bits " << int(unused);
            }
        }
    }
}

TEST(CalculateSunFromBitStructure, HeaderLayoutMatchesTheDocumentedBytes) {
    BitStructure record;
    std::memset(&record, 0, sizeof record);
    record.oneBit = 1;
    record.twoBitsA = 1;
    record.threeBits = 1;
    record.twoBitsB = 1;
    record.tenBits = 783;
    const std::vector<unsigned char> expected = bigEndian()
                                                    ? std::vector<unsigned char>{0xA5, 0xC3, 0xC0}
                                                    : std::vector<unsigned char>{0x4B, 0x0F, 0x03};
    EXPECT_EQ(bytesOf(record), expected);
}

// Raw images built from bytes, not through the compiler's bit-fields: the
// library must agree with the platform's documented allocation.
TEST(CalculateSunFromBitStructure, ReadsThePlatformsRawByteImage) {
    struct Case {
        std::array<unsigned char, 3> bytes;
        int32_t sum;
    };
    // From the most significant bit of byte 0 down; bits 5-0 of byte 2 are free.
    const Case bigEndianCases[] = {
        {{0xA5, 0xC3, 0xC0}, 787},  {{0x00, 0x00, 0x80}, 2},   {{0x00, 0x00, 0x40}, 1},
        {{0x00, 0x00, 0x3F}, 0},    {{0xA5, 0xC3, 0xFF}, 787}, {{0x80, 0x00, 0x00}, 1},
        {{0x40, 0x00, 0x00}, 2},    {{0x10, 0x00, 0x00}, 4},   {{0x03, 0x00, 0x00}, 3},
        {{0x00, 0x80, 0x00}, 512},  {{0x00, 0x01, 0x00}, 4},   {{0xFF, 0xFF, 0xC0}, 1037},
        {{0xFF, 0xFF, 0xFF}, 1037}, {{0x00, 0x00, 0x00}, 0},
    };
    // From the least significant bit of byte 0 up; bits 7-2 of byte 2 are free.
    const Case littleEndianCases[] = {
        {{0x4B, 0x0F, 0x03}, 787},  {{0x00, 0x00, 0x01}, 256}, {{0x00, 0x00, 0x02}, 512},
        {{0x00, 0x00, 0xFC}, 0},    {{0x4B, 0x0F, 0xFF}, 787}, {{0x01, 0x00, 0x00}, 1},
        {{0x04, 0x00, 0x00}, 2},    {{0x20, 0x00, 0x00}, 4},   {{0xC0, 0x00, 0x00}, 3},
        {{0x00, 0x80, 0x00}, 128},  {{0x00, 0x01, 0x00}, 1},   {{0xFF, 0xFF, 0x03}, 1037},
        {{0xFF, 0xFF, 0xFF}, 1037}, {{0x00, 0x00, 0x00}, 0},
    };
    const bool big = bigEndian();
    const Case *first = big ? std::begin(bigEndianCases) : std::begin(littleEndianCases);
    const Case *last = big ? std::end(bigEndianCases) : std::end(littleEndianCases);
    for (const Case *c = first; c != last; ++c) {
        for (const bool atPageEnd : {true, false}) {
            EXPECT_EQ(sumOfBytes(c->bytes, atPageEnd), c->sum)
                << std::hex << int(c->bytes[0]) << " " << int(c->bytes[1]) << " "
                << int(c->bytes[2]) << (atPageEnd ? " at a page end" : " with 0xFF after");
        }
    }
}

// ---------------------------------------------------------------- KeyValueStructure

// A page that may be neither read nor written: pointers into it prove that
// the library never dereferences them.
class NoAccess {
  public:
    NoAccess() : page_(0) {}
    int32_t *integer(std::size_t index) const {
        return page_.as<int32_t>() + index;
    }
    const char *text(std::size_t index) const {
        return reinterpret_cast<const char *>(page_.data()) + 1 + index;
    }

  private:
    BeforeUnmappedPage page_;
};

const char kDaysOfTheYear[] = " days of the year.";

#if !defined(_WIN32)
// Permissions and path of the mapping that holds `address`, from /proc/self/maps.
std::pair<std::string, std::string> mappingOf(const void *address) {
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::string permissions, offset, device, inode, path;
        fields >> std::hex >> begin >> dash >> end >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (wanted >= begin && wanted < end) {
            return {permissions, path};
        }
    }
    return {};
}
#endif

TEST(FillKeyValueStructure, StoresTheYearAndPointsAtTheLibrarysText) {
    const NoAccess noAccess;
    const int32_t initial[] = {-1, 0, 365, INT32_MIN, INT32_MAX};
    const char *firstText = nullptr;
    for (const int32_t value : initial) {
        Guarded integer(sizeof(int32_t));
        std::memcpy(integer.data(), &value, sizeof value);
        Guarded record(sizeof(KeyValueStructure));
        // The old value points where nothing may be read: it is only replaced.
        const KeyValueStructure before = {integer.as<int32_t>(), noAccess.text(0)};
        std::memcpy(record.data(), &before, sizeof before);

        FFIREF(fillKeyValueStructure)(record.as<KeyValueStructure>());

        KeyValueStructure after;
        std::memcpy(&after, record.data(), sizeof after);
        int32_t stored;
        std::memcpy(&stored, integer.data(), sizeof stored);
        EXPECT_EQ(stored, 365) << "from " << value;
        EXPECT_EQ(after.key, integer.as<int32_t>()) << "key moved";
        ASSERT_NE(after.value, nullptr);
        EXPECT_EQ(std::strlen(after.value), 18u);
        EXPECT_STREQ(after.value, kDaysOfTheYear);
        EXPECT_TRUE(integer.intact() && record.intact()) << "from " << value;
        if (firstText == nullptr) {
            firstText = after.value;
        }
        EXPECT_EQ(after.value, firstText) << "each call hands out the same text";
    }
}

TEST(FillKeyValueStructure, TextLiesInTheLibrarysReadOnlyData) {
    int32_t integer = 0;
    KeyValueStructure record = {&integer, nullptr};
    FFIREF(fillKeyValueStructure)(&record);
#if defined(_WIN32)
    // A page's allocation base is the module that it belongs to.
    MEMORY_BASIC_INFORMATION region;
    ASSERT_NE(VirtualQuery(record.value, &region, sizeof region), 0u);
    EXPECT_EQ(region.Protect, static_cast<DWORD>(PAGE_READONLY)) << "protection " << region.Protect;
    EXPECT_EQ(region.AllocationBase, ffiref_test::libraryHandle())
        << "the text is not the library's own";
#else
    const auto [permissions, path] = mappingOf(record.value);
    ASSERT_EQ(permissions.size(), 4u) << "no mapping holds the text";
    EXPECT_EQ(permissions[0], 'r') << permissions;
    EXPECT_EQ(permissions[1], '-') << "the text is writable: " << permissions;
    char *library = realpath(ffiref_test::libraryPath(), nullptr);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(path, library) << "the text is not the library's own";
    std::free(library);
#endif
}

// ---------------------------------------------------------------- findValueByKey

constexpr int kNone = -1;

struct LookupCase {
    const char *name;
    std::vector<int32_t> keys;
    int32_t count;
    int32_t key;
    int expected; // index of the element whose value comes back, or kNone
};

const std::vector<int32_t> kFiveSevenFiveNine = {5, 7, 5, 9};
const std::vector<int32_t> kWide = {0, INT32_MIN, 0x100, 1, -1};

TEST(FindValueByKey, ReturnsTheValueOfTheLastMatchAmongTheFirstCount) {
    const LookupCase cases[] = {
        {"count 4, key 5: the later of two matches", kFiveSevenFiveNine, 4, 5, 2},
        {"count 4, key 7", kFiveSevenFiveNine, 4, 7, 1},
        {"count 4, key 9", kFiveSevenFiveNine, 4, 9, 3},
        {"count 4, no match", kFiveSevenFiveNine, 4, 6, kNone},
        {"count 3, key 5", kFiveSevenFiveNine, 3, 5, 2},
        {"count 3, key 9 lies beyond count", kFiveSevenFiveNine, 3, 9, kNone},
        {"count 1, key 5", kFiveSevenFiveNine, 1, 5, 0},
        {"count 1, key 7 lies beyond count", kFiveSevenFiveNine, 1, 7, kNone},
        {"count 0", kFiveSevenFiveNine, 0, 5, kNone},
        {"count -1", kFiveSevenFiveNine, -1, 5, kNone},
        {"smallest count", kFiveSevenFiveNine, INT32_MIN, 5, kNone},
        {"key -1", {7, -1, 1}, 3, -1, 1},
        {"key 0, not the sign bit", kWide, 5, 0, 0},
        {"key sign bit alone", kWide, 5, INT32_MIN, 1},
        {"key 0x100", kWide, 5, 0x100, 2},
        {"key 1", kWide, 5, 1, 3},
        {"key -1 among wide keys", kWide, 5, -1, 4},
        {"key 0x10000: no match", kWide, 5, 0x10000, kNone},
        {"key 0x1000000: no match", kWide, 5, 0x1000000, kNone},
        {"key 255: no match", kWide, 5, 255, kNone},
        {"key INT32_MAX: no match", kWide, 5, INT32_MAX, kNone},
    };
    const NoAccess noAccess;
    for (const LookupCase &c : cases) {
        std::vector<int32_t> integers = c.keys;
        const std::size_t examined = static_cast<std::size_t>(std::max(c.count, 0));
        // Values point where nothing may be read: they are never dereferenced.
        const char *expected = c.expected == kNone ? nullptr : noAccess.text(c.expected);

        // The array ends where an inaccessible page begins: element [count]
        // is never read.
        BeforeUnmappedPage page(examined * sizeof(KeyValueStructure));
        auto *records = page.as<KeyValueStructure>();
        for (std::size_t i = 0; i < examined; ++i) {
            records[i] = {&integers[i], noAccess.text(i)};
        }
        EXPECT_EQ(FFIREF(findValueByKey)(records, c.count, c.key), expected)
            << c.name << ", array ending at an inaccessible page";

        // The whole array is readable, but the keys beyond count point where
        // nothing may be read.
        std::vector<KeyValueStructure> all(c.keys.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = {i < examined ? &integers[i] : noAccess.integer(i), noAccess.text(i)};
        }
        EXPECT_EQ(FFIREF(findValueByKey)(all.data(), c.count, c.key), expected)
            << c.name << ", keys beyond count inaccessible";
        EXPECT_EQ(integers, c.keys) << c.name << ": a key changed";
    }
}

TEST(FindValueByKey, SharedIntegersAndNullValues) {
    int32_t shared = 42;
    int32_t other = 7;
    const char first[] = "first";
    const char second[] = "second";
    struct Case {
        const char *name;
        std::vector<KeyValueStructure> records;
        int32_t key;
        const char *expected;
    };
    const Case cases[] = {
        {"two records point at one integer: the later wins",
         {{&shared, first}, {&other, "other"}, {&shared, second}},
         42,
         second},
        {"the last match holds a null value", {{&shared, first}, {&other, nullptr}}, 7, nullptr},
        {"a null value before the last match", {{&other, nullptr}, {&shared, second}}, 42, second},
        {"the last of two matches is null", {{&shared, first}, {&shared, nullptr}}, 42, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(
            FFIREF(findValueByKey)(c.records.data(), static_cast<int32_t>(c.records.size()), c.key),
            c.expected)
            << c.name;
    }
}

// ---------------------------------------------------------------- fillLinkedStructures

// The nodes after `head`, at most `limit` of them so that a cycle ends the walk.
std::vector<LinkedStructure *> chainAfter(const LinkedStructure &head, std::size_t limit = 20) {
    std::vector<LinkedStructure *> nodes;
    for (LinkedStructure *node = head.next; node != nullptr && nodes.size() < limit;
         node = node->next) {
        nodes.push_back(node);
    }
    return nodes;
}

void release(const std::vector<LinkedStructure *> &nodes) {
    for (LinkedStructure *node : nodes) {
        delete node;
    }
}

void expectNineDownToZero(const LinkedStructure &head, const std::vector<LinkedStructure *> &chain,
                          const char *what) {
    EXPECT_EQ(head.value, 9) << what;
    ASSERT_EQ(chain.size(), 9u) << what;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        EXPECT_EQ(chain[i]->value, static_cast<int32_t>(8 - i)) << what << ", node " << i;
    }
    EXPECT_EQ(chain.back()->next, nullptr) << what;
    const std::set<LinkedStructure *> distinct(chain.begin(), chain.end());
    EXPECT_EQ(distinct.size(), 9u) << what << ": a node appears twice";
    EXPECT_EQ(distinct.count(const_cast<LinkedStructure *>(&head)), 0u)
        << what << ": the caller's node is in the chain";
}

TEST(FillLinkedStructures, HangsNineNewNodesFromEightDownToZero) {
    const NoAccess noAccess;
    // Whatever the caller's node held is neither read nor released.
    LinkedStructure head = {-5, reinterpret_cast<LinkedStructure *>(noAccess.integer(0))};
    FFIREF(fillLinkedStructures)(&head);
    const std::vector<LinkedStructure *> chain = chainAfter(head);
    expectNineDownToZero(head, chain, "one call");
    release(chain);
}

TEST(FillLinkedStructures, SecondCallBuildsAFreshChainAndLeavesTheFirstAlone) {
    LinkedStructure head = {0, nullptr};
    FFIREF(fillLinkedStructures)(&head);
    const std::vector<LinkedStructure *> firstChain = chainAfter(head);
    FFIREF(fillLinkedStructures)(&head);
    const std::vector<LinkedStructure *> secondChain = chainAfter(head);

    expectNineDownToZero(head, secondChain, "second call");
    LinkedStructure firstHead = {9, firstChain.empty() ? nullptr : firstChain.front()};
    expectNineDownToZero(firstHead, chainAfter(firstHead), "first chain after the second call");
    std::set<LinkedStructure *> all(firstChain.begin(), firstChain.end());
    all.insert(secondChain.begin(), secondChain.end());
    EXPECT_EQ(all.size(), firstChain.size() + secondChain.size()) << "the chains share a node";

    release(firstChain);
    release(secondChain);
}

} // namespace
