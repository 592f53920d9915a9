// removeDuplicatesFromString, findLongest and convert.
#include "ffiref.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

constexpr std::size_t kBufferCharacters = 100;

// Zero-initialised, so both hold the empty string from load on.
wchar_t longestBuffer[kBufferCharacters];
wchar_t comparisonBuffer[kBufferCharacters];

// Copies at most 99 characters and the terminator; returns the copied length.
// A string over the length limit is cut instead of overflowing the buffer.
std::size_t copyBounded(wchar_t *buffer, const wchar_t *text, std::size_t length) {
    const std::size_t copied = std::min(length, kBufferCharacters - 1);
    std::wmemcpy(buffer, text, copied);
    buffer[copied] = L'\0';
    return copied;
}

// Narrows length characters into exactly length + 1 bytes at output: a
// character whose form in the current locale is not one byte becomes '?'.
void narrowString(const wchar_t *text, std::size_t length, char *output) {
    // Fast path: the whole string at once, never more than length + 1 bytes.
    // It counts only when the terminator was stored (source set to null) and
    // every character took one byte.
    std::mbstate_t state{};
    const wchar_t *source = text;
    if (std::wcsrtombs(output, &source, length + 1, &state) == length && source == nullptr) {
        return;
    }
    state = std::mbstate_t{};
    char bytes[MB_LEN_MAX];
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t produced = std::wcrtomb(bytes, text[i], &state);
        if (produced == 1) {
            output[i] = bytes[0];
        } else {
            output[i] = '?';
            state = std::mbstate_t{};
        }
    }
    output[length] = '\0';
}

} // namespace

extern "C" {

FFIREF_API void FFIREF_CDECL removeDuplicatesFromString(const char *input, char **output) {
    const std::size_t length = std::strlen(input);
    char *result = new char[length + 1];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        // Keep a byte only when it does not occur again later.
        if (std::memchr(input + i + 1, input[i], length - i - 1) == nullptr) {
            result[kept++] = input[i];
        }
    }
    result[kept] = '\0';
    *output = result;
}

FFIREF_API const wchar_t *FFIREF_CDECL findLongest(const wchar_t *list) {
    std::size_t longestLength = copyBounded(longestBuffer, list, std::wcslen(list));
    for (const wchar_t *text = list; *text != L'\0';) {
        const std::size_t length = std::wcslen(text);
        const std::size_t copied = copyBounded(comparisonBuffer, text, length);
        if (copied > longestLength) { // strictly longer: the first of equals wins
            longestLength = copyBounded(longestBuffer, comparisonBuffer, copied);
        }
        text += length + 1;
    }
    return longestBuffer;
}

FFIREF_API void FFIREF_CDECL convert(const wchar_t *list, char *output) {
    std::size_t offset = 0;
    while (list[offset] != L'\0') {
        const std::size_t length = std::wcslen(list + offset);
        narrowString(list + offset, length, output + offset);
        offset += length + 1;
    }
}

} // extern "C"
