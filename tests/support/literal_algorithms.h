// The array and string functions done step by step as their contract words
// them, quadratic costs included: the reference that the differential tests
// and the benchmarks hold the library to. Never part of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace literal {

inline double findMinimum(const double *array, int32_t count) {
    double minimum = array[0];
    if (count <= 1) {
        return minimum;
    }
    for (int32_t i = 1; i < count; ++i) {
        if (array[i] < minimum) {
            minimum = array[i];
        }
    }
    return minimum;
}

// Closes each gap by moving the rest of the current range one place; the
// moves copy bytes, so no value passes through a floating-point register.
inline void removeDuplicates(double *array, int32_t *count) {
    int32_t n = *count;
    if (n <= 0) {
        return;
    }
    for (int32_t i = 0; i < n; ++i) {
        const double value = array[i];
        for (int32_t j = i + 1; j < n;) {
            if (array[j] == value) {
                std::memmove(&array[j], &array[j + 1],
                             static_cast<std::size_t>(n - j - 1) * sizeof(double));
                --n;
            } else {
                ++j;
            }
        }
    }
    *count = n;
}

// Compares each byte with every later byte, to the end.
inline void removeDuplicatesFromString(const char *input, char **output) {
    const std::size_t length = std::strlen(input);
    char *result = new char[length + 1];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        bool repeated = false;
        for (std::size_t j = i + 1; j < length; ++j) {
            if (input[j] == input[i]) {
                repeated = true;
            }
        }
        if (!repeated) {
            result[kept++] = input[i];
        }
    }
    result[kept] = '\0';
    *output = result;
}

// The same, but each scan stops at the first later equal byte.
inline void removeDuplicatesFromStringEarlyStop(const char *input, char **output) {
    const std::size_t length = std::strlen(input);
    char *result = new char[length + 1];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        std::size_t j = i + 1;
        while (j < length && input[j] != input[i]) {
            ++j;
        }
        if (j == length) {
            result[kept++] = input[i];
        }
    }
    result[kept] = '\0';
    *output = result;
}

// Needs strings of at most 99 characters, like the words it follows.
inline const wchar_t *findLongest(const wchar_t *list) {
    static wchar_t result[100];
    static wchar_t comparison[100];
    std::wcscpy(result, list);
    if (list[0] == L'\0') {
        return result;
    }
    const wchar_t *text = list;
    for (;;) {
        const std::size_t length = std::wcslen(text);
        std::wcscpy(comparison, text);
        if (std::wcslen(comparison) > std::wcslen(result)) {
            std::wcscpy(result, comparison);
        }
        text += length + 1;
        if (*text == L'\0') {
            break;
        }
    }
    return result;
}

// Needs strings of at most 99 characters that all have one-byte forms. The
// temporary is released here, where the words leave it allocated.
inline void convert(const wchar_t *list, char *output) {
    std::size_t k = 0;
    while (list[k] != L'\0') {
        const std::size_t length = std::wcslen(list + k);
        const std::size_t size = length + 1;
        char *temporary = new char[size];
        wchar_t local[100];
        std::wcscpy(local, list + k);
        std::wcstombs(temporary, local, size);
        std::strcpy(output + k, temporary);
        delete[] temporary;
        k += size;
    }
}

} // namespace literal
