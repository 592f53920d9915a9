// sumStdCall, printStringCdeclCall and the exported _data.
#include "ffiref.h"

#include <cstdint>
#include <cstdio>

extern "C" {

// Constant-initialised: loading the library runs nothing of ours.
alignas(4) FFIREF_API char _data[13] = "Test string.";

FFIREF_API int32_t FFIREF_STDCALL sumStdCall(int32_t a, int32_t b) {
    // Unsigned addition wraps without signed-overflow UB.
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

FFIREF_API int32_t FFIREF_CDECL printStringCdeclCall(const char *text) {
    return std::puts(text);
}

} // extern "C"
