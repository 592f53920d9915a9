# 32-bit x86 (x87 floating point) under qemu-i386.
set(CROSS_TRIPLE i686-linux-gnu)
set(CROSS_PROCESSOR i686)
set(CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
