// removeDuplicatesFromString against a model: of every byte value only its
// last occurrence survives, in input order; the result is a new array of
// exactly length + 1 bytes that the caller releases with delete[].
#include "fuzz_support.h"

#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace ffiref_fuzz;

namespace {

std::string model(const std::string &input) {
    std::size_t last[256] = {};
    for (std::size_t i = 0; i < input.size(); ++i) {
        last[static_cast<unsigned char>(input[i])] = i;
    }
    std::string kept;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (last[static_cast<unsigned char>(input[i])] == i) {
            kept += input[i];
        }
    }
    return kept;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const auto removeDuplicatesFromString = FFIREF(removeDuplicatesFromString);

    // The input up to its first zero byte, in an allocation of exactly its size.
    const std::size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    std::vector<char> input(data, data + length);
    input.push_back('\0');
    const std::vector<char> before = input;

    Guarded slot(sizeof(char *), 0, 0x5A); // the old content is ignored
    removeDuplicatesFromString(input.data(), slot.as<char *>());
    expect(slot.intact(), "wrote around the result slot");
    char *result;
    std::memcpy(&result, slot.data(), sizeof result);

    expect(input == before, "changed its input");
    expect(__sanitizer_get_allocated_size(result) == length + 1,
           "result array is not length + 1 bytes");
    const std::string expected = model(std::string(input.data(), length));
    expect(std::memcmp(result, expected.c_str(), expected.size() + 1) == 0, "wrong result");
    delete[] result;
    return 0;
}
