# 32-bit big-endian PowerPC (System V), the reference platform, under qemu-ppc.
set(CROSS_TRIPLE powerpc-linux-gnu)
set(CROSS_PROCESSOR powerpc)
set(CROSS_QEMU qemu-ppc)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
