// findLongest and convert against models, on wide string lists of up to eight
// strings of 1 to 300 characters (0 strings: the empty list), with characters
// from every range, ones without a one-byte form and invalid ones included,
// in the C and the C.UTF-8 locale.
//
// The models, from the documented behaviour:
// - findLongest: a string is cut to its first 99 characters; the first of the
//   longest cut strings wins; the result is that cut string.
// - convert: string s, starting at wide offset k with length n, takes exactly
//   the bytes k .. k + n; for n <= 99 they are its characters, each one's
//   one-byte form in the current locale or '?', then a zero byte. What an
//   overlong string's own bytes hold is open; it must stay inside them.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <locale.h>
#include <vector>

using namespace ffiref_fuzz;

namespace {

constexpr std::size_t kLimit = 99;

wchar_t randomCharacter(FuzzedDataProvider &input) {
    switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0:
        return static_cast<wchar_t>(input.ConsumeIntegralInRange(1, 0x7F));
    case 1:
        return static_cast<wchar_t>(input.ConsumeIntegralInRange(0x80, 0xFF));
    case 2:
        return static_cast<wchar_t>(input.ConsumeIntegralInRange(0x100, 0xFFFF));
    case 3:
        return static_cast<wchar_t>(input.ConsumeIntegralInRange(0x10000, 0x10FFFF));
    default: { // anything but zero: negative values and values past Unicode too
        const auto raw = static_cast<wchar_t>(input.ConsumeIntegral<int32_t>());
        return raw != 0 ? raw : L'0';
    }
    }
}

// The byte a character becomes: its one-byte form in the current locale, as
// wctob tells it, or '?'.
char narrowed(wchar_t character) {
    const int byte = std::wctob(static_cast<wint_t>(character));
    return byte == EOF ? '?' : static_cast<char>(byte);
}

// The thread's current locale: uselocale is cheap enough to switch per input,
// and the library converts with whatever locale is current for its caller.
void useLocale(bool utf8) {
    static const locale_t c = newlocale(LC_CTYPE_MASK, "C", locale_t(nullptr));
    static const locale_t cUtf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (c == locale_t(nullptr) || cUtf8 == locale_t(nullptr)) {
        disagree("the C or the C.UTF-8 locale is missing");
    }
    uselocale(utf8 ? cUtf8 : c);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const auto findLongest = FFIREF(findLongest);
    static const auto convert = FFIREF(convert);
    static const wchar_t *resultBuffer = nullptr;

    FuzzedDataProvider input(data, size);
    useLocale(input.ConsumeBool());
    std::vector<std::vector<wchar_t>> strings(input.ConsumeIntegralInRange(0, 8));
    for (auto &text : strings) {
        text.resize(input.ConsumeIntegralInRange(1, 300));
        for (wchar_t &character : text) {
            character = randomCharacter(input);
        }
    }

    // The list in an allocation of exactly its size, so that reading past its
    // end is caught.
    std::vector<wchar_t> list;
    for (const auto &text : strings) {
        list.insert(list.end(), text.begin(), text.end());
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    list.shrink_to_fit();
    const std::vector<wchar_t> before = list;

    // findLongest
    std::size_t bestLength = 0;
    const wchar_t *best = L"";
    for (const auto &text : strings) {
        const std::size_t cut = std::min(text.size(), kLimit);
        if (cut > bestLength) { // strictly longer: the first of equals stays
            bestLength = cut;
            best = text.data();
        }
    }
    const wchar_t *longest = findLongest(list.data());
    if (resultBuffer == nullptr) {
        resultBuffer = longest;
    }
    expect(longest == resultBuffer, "findLongest moved its result buffer");
    expect(std::wcslen(longest) == bestLength, "findLongest: wrong length");
    expect(std::wmemcmp(longest, best, bestLength) == 0, "findLongest: wrong text");
    expect(list == before, "findLongest changed its input");

    // convert: one byte per wide character before the closing empty string.
    const std::size_t outputSize = list.size() - 1;
    Guarded output(outputSize, input.ConsumeIntegralInRange(0, 7), 0xCC);
    convert(list.data(), output.as<char>());
    expect(output.intact(), "convert wrote outside its output");
    expect(list == before, "convert changed its input");
    std::size_t offset = 0;
    for (const auto &text : strings) {
        if (text.size() <= kLimit) {
            for (std::size_t i = 0; i < text.size(); ++i) {
                expect(output.as<char>()[offset + i] == narrowed(text[i]), "convert: wrong byte");
            }
            expect(output.as<char>()[offset + text.size()] == '\0',
                   "convert: no zero byte after a string");
        }
        offset += text.size() + 1;
    }
    return 0;
}
