/* A program built against an installed ffiref, once through
 * find_package(ffiref CONFIG) and once through pkg-config. Unlike the test
 * suite it links the library, as a consumer of the installed package does. */
#include <ffiref.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    const int32_t sum = sumStdCall(2, 3);
    const int32_t wrapped = sumStdCall(INT32_MAX, 1);
    printf("sumStdCall(2, 3) = %d, sumStdCall(INT32_MAX, 1) = %d, _data = \"%s\"\n", sum, wrapped,
           _data);
    return sum == 5 && wrapped == INT32_MIN && strcmp(_data, "Test string.") == 0 ? 0 : 1;
}
