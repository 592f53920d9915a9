# 32-bit little-endian Arm, hard-float under qemu-arm.
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
