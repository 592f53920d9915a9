# 32-bit x86 (x87 floating point) under qemu-i386.
set(CROSS_TRIPLE i686-linux-gnu)
set(CROSS_PROCESSOR i686)
set(CROSS_QEMU qemu-i386)
# A dynamically linked i686 program hangs under qemu-i386 as soon as it starts
# a thread (as it does on fork); the concurrency test skips itself there.
set(CROSS_QEMU_OPTIONS -E "FFIREF_NO_THREADS=a dynamically linked program hangs in qemu-i386 when it starts a thread")
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
