/* Compiles the public header alone, in plain C. */
#include "ffiref.h"

int ffiref_header_check(void);
int ffiref_header_check(void) {
    BitStructure bits = {1, 1, 1, 1, 783};
    return (int)bits.tenBits;
}
