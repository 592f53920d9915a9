// removeDuplicatesFromString, findLongest and convert, called through the
// loaded library. Inputs end right before an inaccessible page, so reading
// past a terminator faults; outputs carry guard bytes.
#include "guarded_memory.h"
#include "library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using ffiref_test::BeforeUnmappedPage;
using ffiref_test::Guarded;

// ------------------------------------------------------- removeDuplicatesFromString

std::string everyByteDownThenUp() {
    std::string text;
    for (int byte = 255; byte >= 1; --byte) {
        text += static_cast<char>(byte);
    }
    for (int byte = 1; byte <= 255; ++byte) {
        text += static_cast<char>(byte);
    }
    return text;
}

TEST(RemoveDuplicatesFromString, KeepsTheLastOccurrenceOfEachByteInANewArray) {
    struct Case {
        std::string input, kept;
    };
    const Case cases[] = {
        {"hello", "helo"},
        {"banana", "bna"},
        {"abca", "bca"},
        {"mississippi", "mspi"},
        {"zzzzz", "z"},
        {"", ""},
        {"abc", "abc"},
        {"x", "x"},
        {"aAaA", "aA"}, // case matters
        {"\xE9"
         "a"
         "\xE9",
         "a"
         "\xE9"},                                                   // bytes, not characters
        {"\xC3\xA9t\xC3\xA9", "t\xC3\xA9"},                         // a UTF-8 e-acute is two bytes
        {everyByteDownThenUp(), everyByteDownThenUp().substr(255)}, // every byte value
    };
    for (const Case &c : cases) {
        // The input ends at its terminator, right before an inaccessible page.
        BeforeUnmappedPage input(c.input.size() + 1);
        std::memcpy(input.data(), c.input.c_str(), c.input.size() + 1);

        // The slot's previous content is neither read nor written through.
        char previous[] = "previous";
        Guarded slot(sizeof(char *));
        char *stale = previous;
        std::memcpy(slot.data(), &stale, sizeof stale);

        FFIREF(removeDuplicatesFromString)(input.as<const char>(), slot.as<char *>());

        char *result;
        std::memcpy(&result, slot.data(), sizeof result);
        ASSERT_NE(result, nullptr) << c.input;
        ASSERT_NE(result, previous) << c.input;
        EXPECT_EQ(std::string(result), c.kept) << c.input;
        EXPECT_EQ(std::memcmp(input.data(), c.input.c_str(), c.input.size() + 1), 0)
            << "the input changed";
        EXPECT_STREQ(previous, "previous");
        EXPECT_TRUE(slot.intact());
        delete[] result; // the caller owns it; valgrind checks the pairing
    }
}

TEST(RemoveDuplicatesFromString, HandsOutAFreshArrayOnEveryCall) {
    char *first = nullptr;
    char *second = nullptr;
    FFIREF(removeDuplicatesFromString)("abca", &first);
    FFIREF(removeDuplicatesFromString)("abca", &second);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, "bca");
    EXPECT_STREQ(second, "bca");
    delete[] first;
    delete[] second;
}

// ------------------------------------------------------- wide string lists

// A wide string list (the strings end to end, each with its zero, closed by
// an empty string) that ends right before an inaccessible page.
class WideList {
  public:
    explicit WideList(const std::vector<std::wstring> &strings)
        : page_((characters(strings) + 1) * sizeof(wchar_t)) {
        wchar_t *at = page_.as<wchar_t>();
        for (const std::wstring &text : strings) {
            std::wmemcpy(at, text.c_str(), text.size() + 1);
            at += text.size() + 1;
        }
        *at = L'\0';
    }

    // Wide characters before the closing empty string.
    static std::size_t characters(const std::vector<std::wstring> &strings) {
        std::size_t total = 0;
        for (const std::wstring &text : strings) {
            total += text.size() + 1;
        }
        return total;
    }

    wchar_t *get() const {
        return page_.as<wchar_t>();
    }

  private:
    BeforeUnmappedPage page_;
};

std::string describe(const std::vector<std::wstring> &strings) {
    std::string text = "{";
    for (const std::wstring &string : strings) {
        text += (text.size() > 1 ? ", " : "") + std::to_string(string.size()) + " chars \"";
        for (wchar_t c : string.substr(0, 8)) {
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        text += string.size() > 8 ? "...\"" : "\"";
    }
    return text + "}";
}

// The result buffer holds 100 wide characters: the answer's terminator must
// lie within them.
std::wstring boundedText(const wchar_t *result) {
    const wchar_t *end = std::find(result, result + 100, L'\0');
    return end == result + 100 ? std::wstring(L"<not terminated>") : std::wstring(result, end);
}

// Whether text starts with prefix. Not std::wstring's own comparison: valgrind
// does not know glibc's vectorised wmemcmp and reports its wide reads.
bool startsWith(const std::wstring &text, const std::wstring &prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin());
}

bool sameText(const std::wstring &a, const std::wstring &b) {
    return a.size() == b.size() && startsWith(a, b);
}

// ------------------------------------------------------- findLongest

TEST(FindLongest, CopiesTheFirstLongestStringIntoItsOwnBuffer) {
    struct Case {
        std::vector<std::wstring> strings;
        std::wstring longest;
    };
    const Case cases[] = {
        {{}, L""},
        {{L"ab", L"xyz", L"fg"}, L"xyz"},
        {{L"abc", L"de", L"xyz"}, L"abc"}, // ties go to the first
        {{L"x", L"yy", L"zzz"}, L"zzz"},
        {{L"only"}, L"only"},
        {{L"\u00e9\u20ac\U0001F600", L"ab"}, L"\u00e9\u20ac\U0001F600"},
        {{std::wstring(98, L'n'), std::wstring(99, L'm'), std::wstring(99, L'o')},
         std::wstring(99, L'm')},
    };
    const wchar_t *buffer = FFIREF(findLongest)(WideList({L"first"}).get());
    for (const Case &c : cases) {
        WideList list(c.strings);
        const wchar_t *result = FFIREF(findLongest)(list.get());
        EXPECT_EQ(result, buffer) << "the result moved";
        // The answer is a copy: the caller may change its list afterwards.
        std::wmemset(list.get(), L'#', WideList::characters(c.strings));
        EXPECT_PRED2(sameText, boundedText(result), c.longest) << describe(c.strings);
    }
}

TEST(FindLongest, EachCallReplacesTheAnswerAtTheSameAddress) {
    const wchar_t *first = FFIREF(findLongest)(WideList({L"abcdef", L"gh"}).get());
    EXPECT_PRED2(sameText, boundedText(first), L"abcdef");
    const wchar_t *second = FFIREF(findLongest)(WideList({L"x"}).get());
    EXPECT_EQ(second, first);
    EXPECT_PRED2(sameText, boundedText(second), L"x"); // terminated, not x plus the old tail
    const wchar_t *third = FFIREF(findLongest)(WideList({}).get());
    EXPECT_EQ(third, first);
    EXPECT_PRED2(sameText, boundedText(third), L"");
}

TEST(FindLongest, CutsOverlongStringsToTheBufferAndWalksTheWholeList) {
    // Beyond 99 wide characters the answer is cut to 99, a prefix of a string
    // that long; nothing outside the library's buffers is written, and the
    // list is walked to its end (which lies before an inaccessible page).
    const std::wstring a100(100, L'a'), b150(150, L'b'), c300(300, L'c');
    const std::vector<std::wstring> cases[] = {
        {a100},
        {b150, std::wstring(50, L'd')},
        {c300, std::wstring(99, L'e')},
        {std::wstring(50, L'd'), c300, L"xyz"},
        {L"ab", a100, b150, c300, L"xyz"},
        {std::wstring(99, L'e'), a100},
        {std::wstring(98, L'f'), c300, a100},
    };
    for (const std::vector<std::wstring> &strings : cases) {
        const std::wstring result = boundedText(FFIREF(findLongest)(WideList(strings).get()));
        EXPECT_EQ(result.size(), 99u) << describe(strings);
        const bool prefix = std::any_of(strings.begin(), strings.end(), [&](const auto &text) {
            return text.size() >= 99 && startsWith(text, result);
        });
        EXPECT_TRUE(prefix) << describe(strings) << ": not a prefix of a string of 99 or more";

        // The buffers still work for a list within the limit.
        EXPECT_PRED2(sameText, boundedText(FFIREF(findLongest)(WideList({L"ab", L"xyz"}).get())),
                     L"xyz");
    }
}

// ------------------------------------------------------- convert

// Sets LC_CTYPE for the length of a test and restores the previous one.
class CtypeLocale {
  public:
    explicit CtypeLocale(const char *name) : saved_(std::setlocale(LC_CTYPE, nullptr)) {
        const char *set = std::setlocale(LC_CTYPE, name);
        active_ = set != nullptr ? set : "";
    }
    CtypeLocale(const CtypeLocale &) = delete;
    CtypeLocale &operator=(const CtypeLocale &) = delete;
    ~CtypeLocale() {
        std::setlocale(LC_CTYPE, saved_.c_str());
    }

    // The locale's name as setlocale reports it; empty when it was refused.
    const std::string &active() const {
        return active_;
    }

  private:
    std::string saved_;
    std::string active_;
};

// A character's byte when the current locale converts it to exactly one
// byte, otherwise '?'.
char oneByteForm(wchar_t c) {
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    return std::wcrtomb(bytes, c, &state) == 1 ? bytes[0] : '?';
}

// Runs convert on the list into an output of exactly its size, with guards,
// and returns what was written; "<overflow>" when a guard byte changed.
std::string converted(const std::vector<std::wstring> &strings) {
    const std::size_t size = WideList::characters(strings);
    WideList list(strings);
    Guarded output(size);
    FFIREF(convert)(list.get(), output.as<char>());
    if (!output.intact()) {
        return "<overflow>";
    }
    return std::string(output.as<char>(), size);
}

std::string joined(const std::vector<std::string> &strings) {
    std::string bytes;
    for (const std::string &text : strings) {
        bytes += text;
        bytes += '\0';
    }
    return bytes;
}

TEST(Convert, WritesEachStringAtItsOffsetAndNothingAfterTheLast) {
    CtypeLocale locale("C");
    struct Case {
        std::vector<std::wstring> strings;
        std::vector<std::string> bytes;
    };
    const Case cases[] = {
        {{L"x"}, {"x"}},
        {{L"ab", L"xyz", L"q"}, {"ab", "xyz", "q"}}, // q at offset 7; offset 9 is a guard
        {{L"ab", L"xyz"}, {"ab", "xyz"}},
        {{L"\x01~ \x7F", L"A"}, {"\x01~ \x7F", "A"}},
        {{std::wstring(99, L'w'), L"v"}, {std::string(99, 'w'), "v"}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(converted(c.strings), joined(c.bytes)) << describe(c.strings);
    }
}

TEST(Convert, WritesNothingForAnEmptyList) {
    // The output is the inaccessible page itself: any write faults.
    BeforeUnmappedPage output(0);
    FFIREF(convert)(WideList({}).get(), output.as<char>());
}

// Lists whose narrow form depends on the locale, and overlong strings.
std::vector<std::vector<std::wstring>> localeCases() {
    std::wstring mixed150(150, L'm');
    mixed150[0] = L'\u00e9';
    mixed150[99] = L'\u20ac';
    mixed150[149] = L'\u00e9';
    return {
        {L"caf\u00e9", L"x"},
        {L"\u20ac", L"ab"},
        {L"a\u00e9b\u20acc", L"\U0001F600", L"z"},
        {L"\u00e9\u00e9\u00e9"},
        {L"\u0080\u00ff\u0100", L"\u00e9"},
        {std::wstring(100, L'a'), L"b"},
        {L"xy", mixed150, L"z"},
        {std::wstring(300, L'c'), std::wstring(99, L'd'), mixed150, L"\u20ac"},
    };
}

// In any locale an ASCII character is its own byte; any other character is
// its one-byte form when the locale has one, else '?'. Each string takes
// exactly length + 1 bytes at its offset, overlong ones included.
void expectConvertedInLocale(const char *name, bool asciiOnly) {
    for (const std::vector<std::wstring> &strings : localeCases()) {
        std::string expected;
        for (const std::wstring &text : strings) {
            for (wchar_t c : text) {
                expected += c < 0x80 ? static_cast<char>(c) : asciiOnly ? '?' : oneByteForm(c);
            }
            expected += '\0';
        }
        EXPECT_EQ(converted(strings), expected) << name << ": " << describe(strings);
        EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), name) << "the library changed the locale";
    }
}

TEST(Convert, InTheCLocaleACharacterWithoutOneByteFormBecomesAQuestionMark) {
    CtypeLocale locale("C");
    ASSERT_EQ(locale.active(), "C");
    expectConvertedInLocale("C", false);
}

TEST(Convert, InUtf8EveryNonAsciiCharacterBecomesAQuestionMark) {
    CtypeLocale locale("C.UTF-8");
    if (locale.active().empty()) {
        GTEST_SKIP() << "the C library offers no C.UTF-8 locale here";
    }
    expectConvertedInLocale(locale.active().c_str(), true);
}

} // namespace
