// Loads the built library by path, as an FFI does, and resolves its exports.
#pragma once

#include "ffiref.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace ffiref_test {

// The path comes from the build (FFIREF_LIBRARY_PATH); the environment
// variable FFIREF_LIBRARY overrides it, e.g. to test an installed copy.
inline const char *libraryPath() {
    const char *fromEnvironment = std::getenv("FFIREF_LIBRARY");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                  : FFIREF_LIBRARY_PATH;
}

// Opened once per process and never closed: valgrind then shows symbols in
// leak stacks, and no test depends on unloading.
inline void *libraryHandle() {
#if defined(_WIN32)
    static void *handle = reinterpret_cast<void *>(LoadLibraryA(libraryPath()));
#else
    static void *handle = dlopen(libraryPath(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle == nullptr) {
        throw std::runtime_error(std::string("cannot load ") + libraryPath());
    }
    return handle;
}

inline void *rawSymbol(const char *name) {
#if defined(_WIN32)
    void *address =
        reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(libraryHandle()), name));
#else
    void *address = dlsym(libraryHandle(), name);
#endif
    if (address == nullptr) {
        throw std::runtime_error(std::string("missing export ") + name);
    }
    return address;
}

template <typename Function> Function symbol(const char *name) {
    void *address = rawSymbol(name);
    Function function;
    static_assert(sizeof function == sizeof address, "function and data pointers differ");
    std::memcpy(&function, &address, sizeof function);
    return function;
}

} // namespace ffiref_test

// FFIREF(sumStdCall)(2, 3): the export resolved by name, typed by the header.
#define FFIREF(name) (ffiref_test::symbol<decltype(&::name)>(#name))
// The exported _data, 13 bytes.
#define FFIREF_DATA (static_cast<char *>(ffiref_test::rawSymbol("_data")))
