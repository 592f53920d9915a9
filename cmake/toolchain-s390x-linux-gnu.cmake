# 64-bit big-endian IBM Z under qemu-s390x.
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_PROCESSOR s390x)
set(CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
