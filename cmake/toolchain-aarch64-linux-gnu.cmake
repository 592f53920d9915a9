# 64-bit little-endian Arm under qemu-aarch64.
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_PROCESSOR aarch64)
set(CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
